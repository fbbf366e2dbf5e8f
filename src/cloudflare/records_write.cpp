#include <json-c/json.h>

#include <cctype>
#include <climits>

#include "cloudflare/methods.h"
#include "cloudflare/records.h"
#include "common/guard.h"
#include "common/json_build.h"
#include "common/percent_encode.h"
#include "common/py_ref.h"
#include "common/text.h"

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
  // "|5" names a priority and no host: its first piece is not a host.
  if (!content.empty() && content.front() == '|') return parts;
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

JsonTree record_members(const RecordFields& record, unsigned fields, const std::string* id) {
  JsonTree body = json_new_object();
  if (id != nullptr) json_add_member(body, "id", json_new_string(*id));
  const bool is_mx = record.type == "MX";
  MxContent mx;
  if (is_mx) mx = split_mx_content(record.content);
  if (fields & kFieldContent) {
    json_add_member(body, "content",
                    json_new_string(is_mx ? mx.host.value_or("") : record.content));
  }
  if (is_mx && (fields & kFieldPriority)) {
    json_add_member(body, "priority", json_new_int(mx.priority));
  }
  if (fields & kFieldName) json_add_member(body, "name", json_new_string(record.name));
  if ((fields & kFieldProxied) && is_proxiable_type(record.type)) {
    json_add_member(body, "proxied", json_new_bool(record.proxied));
  }
  if (fields & kFieldType) json_add_member(body, "type", json_new_string(record.type));
  if (fields & kFieldTtl) {
    json_add_member(body, "ttl", json_new_int(static_cast<int32_t>(record.ttl)));
  }
  if ((fields & kFieldComment) && record.comment) {
    json_add_member(body, "comment", json_new_string(*record.comment));
  }
  return body;
}

std::optional<std::string> build_record_body(const RecordFields& record) {
  if (record.type == "MX" && !split_mx_content(record.content).host) return std::nullopt;
  return json_text(record_members(record, kAllRecordFields),
                   JSON_C_TO_STRING_SPACED | JSON_C_TO_STRING_PRETTY);
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

bool read_proxied(PyObject* given, bool& proxied) {
  if (PyUnicode_Check(given) || PyBytes_Check(given) || PyByteArray_Check(given)) {
    PyErr_Format(PyExc_TypeError,
                 "proxied must be a bool, not %.200s (a text such as \"false\" is true)",
                 Py_TYPE(given)->tp_name);
    return false;
  }
  const int truth = PyObject_IsTrue(given);
  if (truth < 0) return false;
  proxied = truth != 0;
  return true;
}

bool read_comment(PyObject* given, std::optional<std::string>& comment) {
  comment.reset();
  if (given == Py_None) return true;
  if (!PyUnicode_Check(given)) {
    PyErr_Format(PyExc_TypeError, "comment must be str or None, not %s", Py_TYPE(given)->tp_name);
    return false;
  }
  std::string text;
  if (!utf8_of_str(given, text)) return false;
  comment = std::move(text);
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
  return cloudflare_request(context, RequestKind::kCreate, "POST", &path, &*body);
}

HttpResult update_record(const ApiContext& context, std::string_view zone_id,
                         const std::string& record_id, const RecordFields& record) {
  std::optional<std::string> body = build_record_body(record);
  if (!body) return HttpResult{-1, "MX content names no mail host"};
  const std::string path = records_path(zone_id, &record_id);
  return cloudflare_request(context, RequestKind::kIdempotentWrite, "PUT", &path, &*body);
}

HttpResult patch_record(const ApiContext& context, std::string_view zone_id,
                        const std::string& record_id, const RecordFields& record, unsigned fields) {
  const std::string body =
      json_text(record_members(record, fields), JSON_C_TO_STRING_SPACED | JSON_C_TO_STRING_PRETTY);
  const std::string path = records_path(zone_id, &record_id);
  return cloudflare_request(context, "PATCH", &path, &body);
}

HttpResult delete_record(const ApiContext& context, std::string_view zone_id,
                         const std::string& record_id) {
  const std::string path = records_path(zone_id, &record_id);
  HttpResult result = cloudflare_request(context, RequestKind::kDelete, "DELETE", &path, nullptr);
  if (result.already_gone) {
    // The answer the deletion itself would have had.
    JsonTree body = json_new_object();
    JsonTree deleted = json_new_object();
    json_add_member(deleted, "id", json_new_string(record_id));
    json_add_member(body, "result", std::move(deleted));
    json_add_member(body, "success", json_new_bool(true));
    json_add_member(body, "errors", json_new_array());
    json_add_member(body, "messages", json_new_array());
    result.status = 200;
    result.body = json_text(body, JSON_C_TO_STRING_PLAIN);
  }
  return result;
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
                                     "ttl",  "comment", "zone_id", nullptr};
    const char *type, *name, *content;
    PyObject* proxied_arg = nullptr;
    PyObject* ttl_arg = nullptr;
    PyObject* comment_arg = Py_None;
    PyObject* zone_id = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sssOO|O$O:dns_create_record",
                                     const_cast<char**>(keywords), &type, &name, &content,
                                     &proxied_arg, &ttl_arg, &comment_arg, &zone_id)) {
      return nullptr;
    }
    RecordFields record{type, name, content, false, 1, std::nullopt};
    if (!read_proxied(proxied_arg, record.proxied) || !read_ttl(ttl_arg, record.ttl) ||
        !read_comment(comment_arg, record.comment)) {
      return nullptr;
    }
    return write_record(self, zone_id, nullptr, std::move(record));
  });
}

PyObject* Cloudflare_dns_update_record(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"record_id", "type",    "name",    "content", "proxied",
                                     "ttl",       "comment", "zone_id", nullptr};
    const char *record_id, *type, *name, *content;
    PyObject* proxied_arg = nullptr;
    PyObject* ttl_arg = nullptr;
    PyObject* comment_arg = Py_None;
    PyObject* zone_id = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ssssOO|O$O:dns_update_record",
                                     const_cast<char**>(keywords), &record_id, &type, &name,
                                     &content, &proxied_arg, &ttl_arg, &comment_arg, &zone_id)) {
      return nullptr;
    }
    RecordFields record{type, name, content, false, 1, std::nullopt};
    if (!read_proxied(proxied_arg, record.proxied) || !read_ttl(ttl_arg, record.ttl) ||
        !read_comment(comment_arg, record.comment)) {
      return nullptr;
    }
    const std::string id(record_id);
    return write_record(self, zone_id, &id, std::move(record));
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
