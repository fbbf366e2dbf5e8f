// The trace's masks: mask_secret, mask_header_line, mask_proxy, mask_url.
//
// "The secret never appears in the output" is not a property a mask can
// have: a 4-byte token "er *" appears in "Authorization: Bearer ***", and
// the last 4 bytes of a long one are shown on purpose. What must hold is
// that the masked text depends on the secret only through its length class
// and its last 4 bytes: changing any other byte of it changes nothing in the
// output. That, and the rest of the text passing through unchanged, is
// checked here on texts built from the input with their secrets known.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "common/mask_secret.h"
#include "fuzz_support.h"

namespace {

std::string expected_mask(const std::string& secret) {
  if (secret.empty()) return "";
  if (secret.size() < 16) return "***";
  // The last 4 bytes without the continuation bytes of a character cut at
  // their start.
  size_t from = secret.size() - 4;
  while (from < secret.size() && (static_cast<unsigned char>(secret[from]) & 0xC0) == 0x80) ++from;
  return "***" + secret.substr(from);
}

// A text without the bytes that would end the secret's part of the text.
std::string text_without(FuzzedDataProvider& input, size_t max_length, std::string_view stops) {
  std::string text = input.ConsumeRandomLengthString(max_length);
  for (char& c : text) {
    if (stops.find(c) != std::string_view::npos) c = 'x';
  }
  return text;
}

// The same secret with every byte but its last 4 changed (to bytes that are
// equally allowed where the secret sits).
std::string scrambled(const std::string& secret, std::string_view stops) {
  std::string other = secret;
  const size_t keep = other.size() >= 4 ? 4 : other.size();
  for (size_t i = 0; i + keep < other.size(); ++i) {
    char c = static_cast<char>(static_cast<unsigned char>(other[i]) ^ 0x55);
    if (c == other[i] || stops.find(c) != std::string_view::npos || c == '\0') c = 'Q';
    if (c == other[i]) c = 'R';
    other[i] = c;
  }
  return other;
}

void check_secret(FuzzedDataProvider& input) {
  const std::string secret = input.ConsumeRandomLengthString(40);
  const std::string masked = nuv::mask_secret(secret);
  FUZZ_CHECK(masked == expected_mask(secret));
  FUZZ_CHECK(masked.size() <= 7);
  FUZZ_CHECK(nuv::mask_secret(scrambled(secret, "")) == masked);
}

void check_header(FuzzedDataProvider& input) {
  static constexpr std::string_view kPrefix = "Authorization: Bearer ";
  if (input.ConsumeBool()) {
    // Any line: unchanged unless it is the bearer header.
    const std::string line = input.ConsumeRandomLengthString(80);
    const std::string out = nuv::mask_header_line(line);
    bool bearer = line.size() >= kPrefix.size();
    for (size_t i = 0; bearer && i < kPrefix.size(); ++i) {
      bearer = std::tolower(static_cast<unsigned char>(line[i])) ==
               std::tolower(static_cast<unsigned char>(kPrefix[i]));
    }
    if (!bearer) {
      FUZZ_CHECK(out == line);
    } else {
      FUZZ_CHECK(out == line.substr(0, kPrefix.size()) +
                            expected_mask(line.substr(kPrefix.size())));
    }
    return;
  }
  std::string prefix(kPrefix);
  // HTTP header names are case-insensitive; so is the match.
  for (char& c : prefix) {
    if (input.ConsumeBool()) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  const std::string token = input.ConsumeRandomLengthString(40);
  const std::string out = nuv::mask_header_line(prefix + token);
  FUZZ_CHECK(out == prefix + expected_mask(token));
  FUZZ_CHECK(nuv::mask_header_line(prefix + scrambled(token, "")) == out);
}

void check_proxy(FuzzedDataProvider& input) {
  // User names and passwords may hold any byte ("@", "/", "?", "#", "://"
  // included): everything up to the last "@" after the scheme is masked.
  const bool with_scheme = input.ConsumeBool();
  std::string scheme;
  if (with_scheme) {
    scheme = "s" + text_without(input, 6, "");
    for (char& c : scheme) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') c = 'x';
    }
    scheme += "://";
  }
  const std::string userinfo = input.ConsumeRandomLengthString(40);
  const std::string host = text_without(input, 20, "@");
  const bool with_userinfo = input.ConsumeBool();
  if (!with_userinfo) {
    const std::string proxy = scheme + host;
    FUZZ_CHECK(nuv::mask_proxy(proxy) == proxy);
    return;
  }
  // Without a scheme, user information that starts like one ("ab://") is a
  // scheme to libcurl as well; such texts are left out.
  if (!with_scheme && userinfo.find("://") != std::string::npos) return;
  const std::string out = nuv::mask_proxy(scheme + userinfo + "@" + host);
  FUZZ_CHECK(out == scheme + "***@" + host);
}

void check_url(FuzzedDataProvider& input) {
  static constexpr std::string_view kStops = "&#";
  // No "@": user information in the authority is masked as a whole.
  std::string base = text_without(input, 30, "?#@");
  std::string url = base + "?";
  std::string expected = url;
  std::string other_url = url;  // the same with every token scrambled
  const size_t count = input.ConsumeIntegralInRange<size_t>(0, 4);
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) {
      url += "&";
      expected += "&";
      other_url += "&";
    }
    if (input.ConsumeBool()) {
      const std::string token = text_without(input, 40, kStops);
      url += "access_token=" + token;
      expected += "access_token=" + expected_mask(token);
      other_url += "access_token=" + scrambled(token, kStops);
    } else {
      std::string param = text_without(input, 20, kStops);
      // A parameter that merely starts like the key would be masked too.
      if (param.starts_with("access_token=")) param[0] = 'A';
      url += param;
      expected += param;
      other_url += param;
    }
  }
  if (input.ConsumeBool()) {
    // The fragment is not part of the query: it passes through as it is.
    const std::string fragment = "#" + input.ConsumeRandomLengthString(30);
    url += fragment;
    expected += fragment;
    other_url += fragment;
  }
  const std::string out = nuv::mask_url(url);
  FUZZ_CHECK(out == expected);
  FUZZ_CHECK(nuv::mask_url(other_url) == out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  switch (input.ConsumeIntegralInRange<int>(0, 4)) {
    case 0:
      check_secret(input);
      break;
    case 1:
      check_header(input);
      break;
    case 2:
      check_proxy(input);
      break;
    case 3:
      check_url(input);
      break;
    default: {
      // Raw text through every mask: nothing may go out of bounds.
      const std::string raw = input.ConsumeRemainingBytesAsString();
      (void)nuv::mask_header_line(raw);
      const std::string url = nuv::mask_url(raw);
      // Only user information and the query's access_token values change;
      // a URL with neither passes through unchanged.
      if (raw.find("access_token=") == std::string::npos && raw.find('@') == std::string::npos) {
        FUZZ_CHECK(url == raw);
      }
      // A proxy text without "@" has no user information to mask.
      const std::string proxy = nuv::mask_proxy(raw);
      if (raw.find('@') == std::string::npos) FUZZ_CHECK(proxy == raw);
      break;
    }
  }
  return 0;
}
