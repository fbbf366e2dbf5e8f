// percent_encode and the paths built with it: the output decodes back to the
// input, leaves only unreserved characters as they are, matches
// curl_easy_escape byte for byte, and a caller's value can never add a path
// segment or a query parameter.
#include <curl/curl.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "cloudflare/records.h"
#include "common/percent_encode.h"
#include "fuzz_support.h"

namespace {

bool is_unreserved(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // lower case is not what we send
}

// Strict decoding: every "%" starts two upper-case hex digits, every other
// byte is unreserved.
std::string decode(std::string_view encoded) {
  std::string out;
  for (size_t i = 0; i < encoded.size(); ++i) {
    const char c = encoded[i];
    if (c == '%') {
      FUZZ_CHECK(i + 2 < encoded.size());
      const int high = hex_value(encoded[i + 1]);
      const int low = hex_value(encoded[i + 2]);
      FUZZ_CHECK(high >= 0 && low >= 0);
      const auto byte = static_cast<unsigned char>(high * 16 + low);
      // An unreserved byte is never encoded.
      FUZZ_CHECK(!is_unreserved(byte));
      out.push_back(static_cast<char>(byte));
      i += 2;
    } else {
      FUZZ_CHECK(is_unreserved(static_cast<unsigned char>(c)));
      out.push_back(c);
    }
  }
  return out;
}

CURL* curl_handle() {
  static CURL* handle = [] {
    FUZZ_CHECK(curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK);
    CURL* made = curl_easy_init();
    FUZZ_CHECK(made != nullptr);
    return made;
  }();
  return handle;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string zone_id = input.ConsumeRandomLengthString(40);
  const std::string record_id = input.ConsumeRandomLengthString(40);
  const std::string raw = input.ConsumeRemainingBytesAsString();

  const std::string encoded = nuv::percent_encode(raw);
  FUZZ_CHECK(decode(encoded) == raw);
  size_t reserved = 0;
  for (unsigned char c : raw) reserved += is_unreserved(c) ? 0 : 1;
  FUZZ_CHECK(encoded.size() == raw.size() + 2 * reserved);

  char* escaped = curl_easy_escape(curl_handle(), raw.data(), static_cast<int>(raw.size()));
  FUZZ_CHECK(escaped != nullptr);
  FUZZ_CHECK(encoded == escaped);
  curl_free(escaped);

  // The segment encoder: the same, with "." encoded too.
  const std::string segment = nuv::percent_encode_segment(raw);
  FUZZ_CHECK(segment.find('.') == std::string::npos);
  std::string dots_restored = segment;
  for (size_t at = 0; (at = dots_restored.find("%2E", at)) != std::string::npos;) {
    dots_restored.replace(at, 3, ".");
    ++at;
  }
  FUZZ_CHECK(dots_restored == encoded);

  // Paths: the ids stay one segment each (never a dot segment), the filters
  // one parameter each.
  const std::string path = nuv::records_path(zone_id, &record_id);
  FUZZ_CHECK(path == "/zones/" + nuv::percent_encode_segment(zone_id) + "/dns_records/" +
                         nuv::percent_encode_segment(record_id));
  FUZZ_CHECK(path.find_first_of("?#.") == std::string::npos);
  size_t slashes = 0;
  for (char c : path) slashes += c == '/' ? 1 : 0;
  FUZZ_CHECK(slashes == 4);

  const std::string listing = nuv::listing_path(zone_id, zone_id.c_str(), record_id.c_str(),
                                                raw.c_str());
  const size_t query = listing.find('?');
  FUZZ_CHECK(query != std::string::npos);
  FUZZ_CHECK(listing.substr(0, query) == nuv::records_path(zone_id));
  // The filters are C strings: each value ends at its first NUL.
  const std::string expected_query =
      "&type=" + nuv::percent_encode(zone_id.c_str()) + "&name=" +
      nuv::percent_encode(record_id.c_str()) + "&content=" + nuv::percent_encode(raw.c_str());
  FUZZ_CHECK(listing.substr(query + 1) == expected_query);
  return 0;
}
