// split_mx_content and build_record_body: any type, name and content a caller
// can pass must give a body that parses back as one JSON object carrying the
// same texts, or (MX without a host) no body at all.
#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cloudflare/records.h"
#include "fuzz_support.h"

namespace {

// An independent reading of "host|priority": split at every "|", drop the
// empty pieces, then atoi the second with the result clamped to 32 bits.
nuv::MxContent reference_split(std::string_view content) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  while (start <= content.size()) {
    size_t bar = content.find('|', start);
    if (bar == std::string_view::npos) bar = content.size();
    if (bar > start) pieces.push_back(content.substr(start, bar - start));
    start = bar + 1;
  }
  nuv::MxContent parts;
  if (!pieces.empty()) parts.host = std::string(pieces[0]);
  if (pieces.size() >= 2) {
    std::string_view text = pieces[1];
    size_t i = 0;
    // atoi skips what isspace skips in the C locale.
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    // Saturate rather than overflow: only the sign and the size matter
    // once the magnitude leaves the 32-bit range.
    int64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      magnitude = magnitude * 10 + (text[i] - '0');
      if (magnitude > (int64_t{1} << 40)) magnitude = int64_t{1} << 40;
    }
    const int64_t value = negative ? -magnitude : magnitude;
    parts.priority = static_cast<int32_t>(value > INT32_MAX   ? INT32_MAX
                                          : value < INT32_MIN ? INT32_MIN
                                                              : value);
  }
  return parts;
}

std::string pick_type(FuzzedDataProvider& input) {
  static const char* const kTypes[] = {"MX", "A", "AAAA", "CNAME", "TXT", "NS", "mx", ""};
  if (input.ConsumeBool()) return kTypes[input.ConsumeIntegralInRange<size_t>(0, 7)];
  return input.ConsumeRandomLengthString(8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  nuv::RecordFields record;
  record.type = pick_type(input);
  record.proxied = input.ConsumeBool();
  record.ttl = input.ConsumeIntegral<uint32_t>();
  record.name = input.ConsumeRandomLengthString(64);
  record.content = input.ConsumeRemainingBytesAsString();

  const nuv::MxContent mx = nuv::split_mx_content(record.content);
  const nuv::MxContent expected = reference_split(record.content);
  FUZZ_CHECK(mx.host == expected.host);
  FUZZ_CHECK(mx.priority == expected.priority);
  if (mx.host) {
    FUZZ_CHECK(!mx.host->empty());
    FUZZ_CHECK(mx.host->find('|') == std::string::npos);
  }

  const bool is_mx = record.type == "MX";
  const std::optional<std::string> body = nuv::build_record_body(record);
  if (is_mx && !mx.host) {
    FUZZ_CHECK(!body);
    return 0;
  }
  FUZZ_CHECK(body.has_value());
  // The body is handed to libcurl as a C string: a NUL would cut it short.
  FUZZ_CHECK(body->find('\0') == std::string::npos);

  nuv::JsonTree tree = nuv_fuzz::parse_json_exactly(*body);
  json_object* root = tree.get();
  FUZZ_CHECK(json_object_is_type(root, json_type_object));
  FUZZ_CHECK(nuv_fuzz::string_member(root, "type") == record.type);
  FUZZ_CHECK(nuv_fuzz::string_member(root, "name") == record.name);
  FUZZ_CHECK(json_object_get_int(nuv_fuzz::member(root, "ttl", json_type_int)) ==
             static_cast<int32_t>(record.ttl));
  size_t members = 4;  // content, name, type, ttl
  if (is_mx) {
    FUZZ_CHECK(nuv_fuzz::string_member(root, "content") == *mx.host);
    json_object* priority = nuv_fuzz::member(root, "priority", json_type_int);
    FUZZ_CHECK(json_object_get_int64(priority) == mx.priority);
    ++members;
  } else {
    FUZZ_CHECK(nuv_fuzz::string_member(root, "content") == record.content);
  }
  if (nuv::is_proxiable_type(record.type)) {
    json_object* proxied = nuv_fuzz::member(root, "proxied", json_type_boolean);
    FUZZ_CHECK((json_object_get_boolean(proxied) != 0) == record.proxied);
    ++members;
  }
  FUZZ_CHECK(nuv_fuzz::member_count(root) == members);
  return 0;
}
