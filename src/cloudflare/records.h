// DNS records: paths, the record body, and the three writes as plain C++
// functions of plain values (the reconciliation calls them directly).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cloudflare/request.h"
#include "common/json_tree.h"

namespace nuv {

struct RecordFields {
  std::string type;
  std::string name;
  // For MX: "host|priority".
  std::string content;
  bool proxied = false;
  // 0..2^31-1 (read_ttl refuses the rest).
  uint32_t ttl = 1;
  // Sent only when given.
  std::optional<std::string> comment;
};

// The fields of a record that a write can change; a PATCH sends only these.
enum RecordField : unsigned {
  kFieldContent = 1u << 0,  // content (for MX: the host)
  kFieldProxied = 1u << 1,  // proxiable types only
  kFieldTtl = 1u << 2,
  kFieldPriority = 1u << 3,  // MX only
  kFieldComment = 1u << 4,   // only when given
  kFieldName = 1u << 5,
  kFieldType = 1u << 6,
};
inline constexpr unsigned kAllRecordFields = 0x7f;

// Only these three types can be proxied by the service.
bool is_proxiable_type(std::string_view type);

// An MX content "host|priority": the pieces are the non-empty runs between
// "|" characters; the first is the host, the second (read like atoi,
// clamped to 32 bits) the priority, 10 when there is none. A content that
// starts with "|" names no host (nor a priority).
struct MxContent {
  std::optional<std::string> host;  // absent when there is no piece at all
  int32_t priority = 10;
};
MxContent split_mx_content(std::string_view content);

// The JSON record body (members content, priority for MX, name, proxied for
// proxiable types, type, ttl, then comment when given), pretty-printed.
// nullopt when an MX content names no host.
std::optional<std::string> build_record_body(const RecordFields& record);

// The record's members among `fields` (RecordField bits), in the body's
// order, as a JSON object: a PATCH body, or a batch item when `id` is given
// (its first member). Throws std::bad_alloc when memory runs out.
JsonTree record_members(const RecordFields& record, unsigned fields,
                        const std::string* id = nullptr);

// "/zones/<zone id>/dns_records", then "/<record id>" when one is given;
// both ids percent-encoded as one segment each ("." included).
std::string records_path(std::string_view zone_id, const std::string* record_id = nullptr);

// "/zones/<zone id>/dns_records?" and the filters given (nullptr: left
// out), always in the order type, name, content, values percent-encoded.
std::string listing_path(std::string_view zone_id, const char* type, const char* name,
                         const char* content);

// The writes. An MX content without host must be refused before (see
// build_record_body); these return -1 and a message for it.
HttpResult create_record(const ApiContext& context, std::string_view zone_id,
                         const RecordFields& record);
HttpResult update_record(const ApiContext& context, std::string_view zone_id,
                         const std::string& record_id, const RecordFields& record);
// PATCH of the given fields only: what the write does not name (comment,
// tags, settings) stays as the service has it.
HttpResult patch_record(const ApiContext& context, std::string_view zone_id,
                        const std::string& record_id, const RecordFields& record, unsigned fields);
HttpResult delete_record(const ApiContext& context, std::string_view zone_id,
                         const std::string& record_id);

inline constexpr uint32_t kMaxTtl = 2147483647u;
inline constexpr int32_t kMaxMxPriority = 65535;

// A ttl argument: an int (or an object with __index__) from 0 to 2^31-1.
// On error (TypeError, or OverflowError outside the range), set an
// exception and return false.
bool read_ttl(PyObject* given, uint32_t& ttl);

// A proxied argument: its truth, as for any object, except that a str (or
// bytes) is refused, since "false" would be true. On error (TypeError, or
// what the object's truth raises), set an exception and return false.
bool read_proxied(PyObject* given, bool& proxied);

// A comment argument: None (not sent, not compared) or a str. On error
// (TypeError, or text that is not UTF-8), set an exception and return false.
bool read_comment(PyObject* given, std::optional<std::string>& comment);

// The checks every write makes before any request: an MX content must name
// a host (ValueError) and a priority from 0 to 65535 (OverflowError). On
// error, set an exception and return false.
bool check_record_fields(const RecordFields& record);

}  // namespace nuv
