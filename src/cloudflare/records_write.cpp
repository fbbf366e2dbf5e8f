#include <json-c/json.h>

#include <cctype>
#include <climits>

#include "cloudflare/methods.h"
#include "cloudflare/records.h"
#include "common/guard.h"
#include "common/json_build.h"
#include "common/percent_encode.h"
#include "common/py_ref.h"

namespace nuv {

namespace {

// atoi's reading (leading blanks, a sign, digits up to the first other
// character, 0 without digits), clamped to the 32-bit range instead of
// overflowing.
int32_t read_priority(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > int64_t{INT32_MAX} + 1) break;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

}  // namespace

bool is_proxiable_type(std::string_view type) {
  return type == "A" || type == "AAAA" || type == "CNAME";
}

MxContent split_mx_content(std::string_view content) {
  MxContent parts;
  int piece = 0;
  size_t pos = 0;
  while (pos < content.size() && piece < 2) {
    size_t start = content.find_first_not_of('|', pos);
    if (start == std::string_view::npos) break;
    size_t end = content.find('|', start);
    if (end == std::string_view::npos) end = content.size();
    std::string_view text = content.substr(start, end - start);
    if (piece == 0) {
      parts.host = std::string(text);
    } else {
      parts.priority = read_priority(text);
    }
    ++piece;
    pos = end;
  }
  return parts;
}

std::optional<std::string> build_record_body(const RecordFields& record) {
  JsonTree body = json_new_object();
  if (record.type == "MX") {
    MxContent mx = split_mx_content(record.content);
    if (!mx.host) return std::nullopt;
    json_add_member(body, "content", json_new_string(*mx.host));
    json_add_member(body, "priority", json_new_int(mx.priority));
  } else {
    json_add_member(body, "content", json_new_string(record.content));
  }
  json_add_member(body, "name", json_new_string(record.name));
  if (is_proxiable_type(record.type)) {
    json_add_member(body, "proxied", json_new_bool(record.proxied));
  }
  json_add_member(body, "type", json_new_string(record.type));
  json_add_member(body, "ttl", json_new_int(static_cast<int32_t>(record.ttl)));
  return json_text(body, JSON_C_TO_STRING_SPACED | JSON_C_TO_STRING_PRETTY);
}

std::string records_path(std::string_view zone_id, const std::string* record_id) {
  std::string path = zone_path(zone_id);
  path += "/dns_records";
  if (record_id != nullptr) {
    path += '/';
    path += percent_encode_segment(*record_id);
  }
  return path;
}

bool read_ttl(PyObject* given, uint32_t& ttl) {
  PyRef index(PyNumber_Index(given));
  if (!index) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  // Beyond the signed 32 bits the service reads, a ttl used to wrap around
  // (2^32 + 120 went out as 120): refuse it instead.
  if (overflow != 0 || value < 0 || value > kMaxTtl) {
    PyErr_Format(PyExc_OverflowError, "ttl must be between 0 and %u", kMaxTtl);
    return false;
  }
  ttl = static_cast<uint32_t>(value);
  return true;
}

bool check_record_fields(const RecordFields& record) {
  if (record.type != "MX") return true;
  const MxContent mx = split_mx_content(record.content);
  if (!mx.host) {
    PyErr_Format(PyExc_ValueError,
                 "MX content names no mail host: '%s' (expected \"host|priority\")",
                 record.content.c_str());
    return false;
  }
  if (mx.priority < 0 || mx.priority > kMaxMxPriority) {
    PyErr_Format(PyExc_OverflowError, "MX priority must be between 0 and %d: '%s'", kMaxMxPriority,
                 record.content.c_str());
    return false;
  }
  return true;
}

HttpResult create_record(const ApiContext& context, std::string_view zone_id,
                         const RecordFields& record) {
  std::optional<std::string> body = build_record_body(record);
  if (!body) return HttpResult{-1, "MX content names no mail host"};
  const std::string path = records_path(zone_id);
  return cloudflare_request(context, "POST", &path, &*body);
}

HttpResult update_record(const ApiContext& context, std::string_view zone_id,
                         const std::string& record_id, const RecordFields& record) {
  std::optional<std::string> body = build_record_body(record);
  if (!body) return HttpResult{-1, "MX content names no mail host"};
  const std::string path = records_path(zone_id, &record_id);
  return cloudflare_request(context, "PUT", &path, &*body);
}

HttpResult delete_record(const ApiContext& context, std::string_view zone_id,
                         const std::string& record_id) {
  const std::string path = records_path(zone_id, &record_id);
  return cloudflare_request(context, "DELETE", &path, nullptr);
}

namespace {

// The common part of create and update: parsed arguments in, response out.
PyObject* write_record(PyObject* self, PyObject* zone_id_arg, const std::string* record_id,
                       RecordFields record) {
  auto* object = reinterpret_cast<CloudflareObject*>(self);
  std::string zone_id;
  if (!read_call_zone_id(object, zone_id_arg, zone_id)) return nullptr;
  if (!check_record_fields(record)) return nullptr;
  ApiContext context;
  if (!read_api_context(object, context)) return nullptr;
  return api_response(record_id ? update_record(context, zone_id, *record_id, record)
                                : create_record(context, zone_id, record),
                      context, Permission::kDnsEdit);
}

}  // namespace

PyObject* Cloudflare_dns_create_record(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"type", "name",    "content", "proxied",
                                     "ttl",  "zone_id", nullptr};
    const char *type, *name, *content;
    int proxied = 0;
    PyObject* ttl_arg = nullptr;
    PyObject* zone_id = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ssspO|$O:dns_create_record",
                                     const_cast<char**>(keywords), &type, &name, &content, &proxied,
                                     &ttl_arg, &zone_id)) {
      return nullptr;
    }
    uint32_t ttl = 0;
    if (!read_ttl(ttl_arg, ttl)) return nullptr;
    return write_record(self, zone_id, nullptr,
                        RecordFields{type, name, content, proxied != 0, ttl});
  });
}

PyObject* Cloudflare_dns_update_record(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"record_id", "type", "name",    "content",
                                     "proxied",   "ttl",  "zone_id", nullptr};
    const char *record_id, *type, *name, *content;
    int proxied = 0;
    PyObject* ttl_arg = nullptr;
    PyObject* zone_id = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sssspO|$O:dns_update_record",
                                     const_cast<char**>(keywords), &record_id, &type, &name,
                                     &content, &proxied, &ttl_arg, &zone_id)) {
      return nullptr;
    }
    uint32_t ttl = 0;
    if (!read_ttl(ttl_arg, ttl)) return nullptr;
    const std::string id(record_id);
    return write_record(self, zone_id, &id, RecordFields{type, name, content, proxied != 0, ttl});
  });
}

PyObject* Cloudflare_dns_delete_record(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"record_id", "zone_id", nullptr};
    const char* record_id;
    PyObject* zone_id_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|$O:dns_delete_record",
                                     const_cast<char**>(keywords), &record_id, &zone_id_arg)) {
      return nullptr;
    }
    auto* object = reinterpret_cast<CloudflareObject*>(self);
    std::string zone_id;
    if (!read_call_zone_id(object, zone_id_arg, zone_id)) return nullptr;
    ApiContext context;
    if (!read_api_context(object, context)) return nullptr;
    return api_response(delete_record(context, zone_id, record_id), context, Permission::kDnsEdit);
  });
}

}  // namespace nuv
