// The robot's message bodies, mention texts, Base64, webhook URL and the
// token taken from a webhook URL: every body parses back as one JSON object
// holding exactly the caller's texts, the mention text adds each missing
// number once, the URL keeps the token and signature inside their own query
// parameters, and a webhook URL gives back the token it was made of.
#include <fuzzer/FuzzedDataProvider.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/percent_encode.h"
#include "dingtalk/message_body.h"
#include "dingtalk/message_text.h"
#include "dingtalk/sign.h"
#include "dingtalk/webhook_token.h"
#include "fuzz_support.h"

namespace {

using nuv_fuzz::member;
using nuv_fuzz::member_count;
using nuv_fuzz::string_member;

std::string percent_decode(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out.push_back(static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::string base64_decode(const std::string& text) {
  FUZZ_CHECK(text.size() % 4 == 0);
  for (char c : text) {
    FUZZ_CHECK(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' || c == '=');
  }
  std::string out(text.size() / 4 * 3, '\0');
  const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                     reinterpret_cast<const unsigned char*>(text.data()),
                                     static_cast<int>(text.size()));
  FUZZ_CHECK(length >= 0);
  // EVP_DecodeBlock keeps the zero bytes that stand for the padding.
  size_t padding = 0;
  for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) ++padding;
  FUZZ_CHECK(padding <= 2);
  out.resize(static_cast<size_t>(length) - padding);
  return out;
}

void check_text_body(const std::string& content) {
  const std::string body = nuv::build_text_body(content, nuv::Mentions{});
  nuv::JsonTree tree = nuv_fuzz::parse_json_exactly(body);
  json_object* root = tree.get();
  FUZZ_CHECK(json_object_is_type(root, json_type_object) && member_count(root) == 2);
  FUZZ_CHECK(string_member(root, "msgtype") == "text");
  json_object* text = member(root, "text", json_type_object);
  FUZZ_CHECK(member_count(text) == 1);
  FUZZ_CHECK(string_member(text, "content") == content);
}

void check_markdown_body(const std::string& title, const std::string& text,
                         const std::vector<std::string>& mobiles) {
  nuv::Mentions mentions;
  mentions.mobiles = mobiles;
  const std::string body = nuv::build_markdown_body(title, text, mentions);
  nuv::JsonTree tree = nuv_fuzz::parse_json_exactly(body);
  json_object* root = tree.get();
  FUZZ_CHECK(json_object_is_type(root, json_type_object) && member_count(root) == 3);
  FUZZ_CHECK(string_member(root, "msgtype") == "markdown");
  json_object* markdown = member(root, "markdown", json_type_object);
  FUZZ_CHECK(member_count(markdown) == 2);
  FUZZ_CHECK(string_member(markdown, "title") == title);
  FUZZ_CHECK(string_member(markdown, "text") == text);
  json_object* at = member(root, "at", json_type_object);
  FUZZ_CHECK(member_count(at) == 2);
  FUZZ_CHECK(json_object_get_boolean(member(at, "isAtAll", json_type_boolean)) == 0);
  json_object* numbers = member(at, "atMobiles", json_type_array);
  FUZZ_CHECK(json_object_array_length(numbers) == mobiles.size());
  for (size_t i = 0; i < mobiles.size(); ++i) {
    json_object* number = json_object_array_get_idx(numbers, i);
    FUZZ_CHECK(json_object_is_type(number, json_type_string));
    FUZZ_CHECK(std::string_view(json_object_get_string(number),
                                static_cast<size_t>(json_object_get_string_len(number))) ==
               mobiles[i]);
  }
}

// "@" and the number somewhere, not followed by another digit.
bool mentioned(const std::string& text, const std::string& mobile) {
  const std::string mention = "@" + mobile;
  for (size_t at = text.find(mention); at != std::string::npos; at = text.find(mention, at + 1)) {
    const size_t after = at + mention.size();
    if (after == text.size() || !std::isdigit(static_cast<unsigned char>(text[after]))) return true;
  }
  return false;
}

void check_mentions(const std::string& text, const std::vector<std::string>& mobiles) {
  nuv::Mentions mentions;
  mentions.mobiles = mobiles;
  std::string line;
  for (const std::string& mobile : mobiles) line += "@" + mobile + " ";
  FUZZ_CHECK(nuv::mention_line(mentions) == line);

  std::vector<std::string> missing;
  for (const std::string& mobile : mobiles) {
    if (!mentioned(text, mobile) &&
        std::find(missing.begin(), missing.end(), mobile) == missing.end()) {
      missing.push_back(mobile);
    }
  }
  std::string expected = text;
  for (size_t i = 0; i < missing.size(); ++i) expected += (i == 0 ? "\n\n@" : " @") + missing[i];
  const std::string sent = nuv::mention_text(text, mentions);
  FUZZ_CHECK(sent == expected);
  // What the service looks for: each number behind an "@", whole.
  for (const std::string& mobile : mobiles) FUZZ_CHECK(mentioned(sent, mobile));
  FUZZ_CHECK(nuv::mention_text(sent, mentions) == sent);
}

void check_webhook_token(const std::string& token) {
  // A text that is no URL is the token itself.
  std::string prefix = token.substr(0, 8);
  for (char& c : prefix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!prefix.starts_with("http://") && !prefix.starts_with("https://")) {
    const std::optional<std::string> same = nuv::robot_access_token(token);
    FUZZ_CHECK(same && *same == token);
  }
  // The URL the service gives out, with the token percent-encoded, gives it back.
  const std::string url = std::string(nuv::DINGTALK_WEBHOOK_BASE) + nuv::percent_encode(token);
  const std::optional<std::string> taken = nuv::robot_access_token(url);
  FUZZ_CHECK(token.empty() ? !taken : (taken && *taken == token));
  (void)nuv::robot_access_token("https://" + token);
}

void check_url(const std::string& token, long long timestamp, const std::string& secret) {
  const std::optional<std::string> signature = nuv::dingtalk_signature(secret, timestamp);
  FUZZ_CHECK(signature.has_value());
  FUZZ_CHECK(signature->size() == 44);
  const std::string message = std::to_string(timestamp) + "\n" + secret;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  static const char kNoKey = 0;
  FUZZ_CHECK(HMAC(EVP_sha256(), secret.empty() ? &kNoKey : secret.data(),
                  static_cast<int>(secret.size()),
                  reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest,
                  &digest_length) != nullptr);
  FUZZ_CHECK(base64_decode(*signature) ==
             std::string(reinterpret_cast<const char*>(digest), digest_length));

  const std::string url = nuv::dingtalk_webhook_url(token, timestamp, *signature);
  const std::string_view base = nuv::DINGTALK_WEBHOOK_BASE;
  FUZZ_CHECK(url.starts_with(base));
  FUZZ_CHECK(url.find('#') == std::string::npos);
  // access_token=<token>&timestamp=<ms>&sign=<signature>, nothing more.
  std::vector<std::string_view> params;
  std::string_view query = std::string_view(url).substr(base.size() - 13);  // from access_token=
  size_t start = 0;
  while (true) {
    const size_t amp = query.find('&', start);
    params.push_back(query.substr(start, amp == std::string_view::npos ? amp : amp - start));
    if (amp == std::string_view::npos) break;
    start = amp + 1;
  }
  FUZZ_CHECK(params.size() == 3);
  FUZZ_CHECK(params[0].starts_with("access_token="));
  FUZZ_CHECK(percent_decode(params[0].substr(13)) == token);
  FUZZ_CHECK(params[1] == "timestamp=" + std::to_string(timestamp));
  FUZZ_CHECK(params[2].starts_with("sign="));
  FUZZ_CHECK(percent_decode(params[2].substr(5)) == *signature);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string title = input.ConsumeRandomLengthString(40);
  const std::string text = input.ConsumeRandomLengthString(200);
  std::vector<std::string> mobiles(input.ConsumeIntegralInRange<size_t>(0, 5));
  for (std::string& mobile : mobiles) {
    // Numbers the text may already mention, and repeats.
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
      case 0:
        mobile = "13800000000";
        break;
      case 1: {
        const size_t at = input.ConsumeIntegralInRange<size_t>(0, text.size());
        mobile = text.substr(at, input.ConsumeIntegralInRange<size_t>(0, 12));
        break;
      }
      default:
        mobile = input.ConsumeRandomLengthString(12);
    }
  }
  const std::string token = input.ConsumeRandomLengthString(40);
  const long long timestamp = input.ConsumeIntegral<long long>();
  const std::string secret = input.ConsumeRemainingBytesAsString();

  check_text_body(text);
  check_markdown_body(title, text, mobiles);
  nuv::Mentions mentions;
  mentions.mobiles = mobiles;
  check_markdown_body(title, nuv::mention_text(text, mentions), mobiles);
  check_mentions(text, mobiles);
  check_webhook_token(token);
  check_url(token, timestamp, secret);

  const std::optional<std::string> encoded =
      nuv::base64_encode(reinterpret_cast<const unsigned char*>(text.data()), text.size());
  FUZZ_CHECK(encoded.has_value());
  FUZZ_CHECK(encoded->size() == (text.size() + 2) / 3 * 4);
  FUZZ_CHECK(base64_decode(*encoded) == text);
  return 0;
}
