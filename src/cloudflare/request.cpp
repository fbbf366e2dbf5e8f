#include "cloudflare/request.h"

#include <ctime>
#include <optional>
#include <vector>

#include "cloudflare/methods.h"
#include "common/guard.h"
#include "common/percent_encode.h"
#include "common/py_ref.h"
#include "common/text.h"
#include "surface/errors.h"

namespace nuv {

namespace {

// A member a script deleted reads as unset; report it the way the
// interpreter reports an unset member.
bool read_member_text(CloudflareObject* self, PyObject* field, const char* name, std::string& out) {
  if (field == nullptr) {
    PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%s'", Py_TYPE(self)->tp_name,
                 name);
    return false;
  }
  // A credential's text never goes into an exception.
  if (PyUnicode_Check(field)) return utf8_of_secret(field, out, name);
  return utf8_of_object(field, out);
}

// Texts handed to libcurl as C strings: a NUL would silently cut them short.
bool check_no_nul(const std::string& text, const char* name) {
  if (text.find('\0') == std::string::npos) return true;
  PyErr_Format(PyExc_ValueError, "%s must not contain NUL characters", name);
  return false;
}

// The token ends up in a header line: a line break would add headers of the
// caller's choosing.
bool check_token(const std::string& token) {
  if (token.find_first_of("\r\n") == std::string::npos) return check_no_nul(token, "api_token");
  PyErr_SetString(PyExc_ValueError, "api_token must not contain line breaks");
  return false;
}

// The constructor lets only str or None in.
bool read_proxy(CloudflareObject* self, std::optional<std::string>& proxy) {
  if (self->proxy == Py_None) {
    proxy.reset();
    return true;
  }
  proxy.emplace();
  return utf8_of_secret(self->proxy, *proxy, "proxy") && check_no_nul(*proxy, "proxy");
}

}  // namespace

bool read_api_context(CloudflareObject* self, ApiContext& context) {
  context.settings = self->settings;
  return read_member_text(self, self->api_token, "api_token", context.token) &&
         check_token(context.token) &&
         read_member_text(self, self->api_url, "api_url", context.base_url) &&
         check_no_nul(context.base_url, "api_url") && read_proxy(self, context.proxy);
}

bool read_zone_id(CloudflareObject* self, std::string& zone_id) {
  if (self->zone_id == nullptr) {
    raise_zone_not_found(kZoneIdNullMessage, ZoneProblem::kNotSelected, nullptr);
    return false;
  }
  return utf8_of_str(self->zone_id, zone_id);
}

bool read_call_zone_id(CloudflareObject* self, PyObject* given, std::string& zone_id) {
  if (given == nullptr || given == Py_None) return read_zone_id(self, zone_id);
  if (!PyUnicode_Check(given)) {
    PyErr_Format(PyExc_TypeError, "zone_id must be str or None, not %.200s",
                 Py_TYPE(given)->tp_name);
    return false;
  }
  return utf8_of_str(given, zone_id);
}

std::string zone_path(std::string_view zone_id) {
  return "/zones/" + percent_encode_segment(zone_id);
}

HttpResult cloudflare_request(const ApiContext& context, RequestKind kind, std::string_view method,
                              const std::string* path, const std::string* request_body) {
  const std::vector<std::string> headers{
      "Content-Type: application/json",
      "Authorization: Bearer " + context.token,
  };
  const std::string url = context.base_url + (path ? *path : std::string(DEFAULT_ZONES_PATH));
  const ProxyChoice proxy = context.proxy ? ProxyChoice{ProxySource::kCaller, *context.proxy}
                                          : ProxyChoice{ProxySource::kEnvironment, {}};
  return send_with_policy(kind,
                          RequestText{method, url, headers, request_body, proxy,
                                      context.interruptible, context.admitted},
                          context.settings, ServiceLimits{context.token, kCloudflareWindowSeconds});
}

HttpResult cloudflare_request(const ApiContext& context, std::string_view method,
                              const std::string* path, const std::string* request_body) {
  RequestKind kind = RequestKind::kCreate;
  if (method == "GET") {
    kind = RequestKind::kRead;
  } else if (method == "PUT" || method == "PATCH") {
    kind = RequestKind::kIdempotentWrite;
  } else if (method == "DELETE") {
    kind = RequestKind::kDelete;
  }
  return cloudflare_request(context, kind, method, path, request_body);
}

PyObject* api_response(const HttpResult& result, const ApiContext& context, Permission permission) {
  if (result.interrupted) return nullptr;
  PyRef status(PyLong_FromLong(result.status));
  if (!status) return nullptr;
  PyRef body(str_from_utf8(result.body));
  if (!body) return nullptr;
  const std::optional<double> retry_after =
      parse_retry_after(result.retry_after, std::time(nullptr));
  return new_api_response(
      status.get(), body.get(),
      Secrets{context.token, context.proxy ? std::string_view(*context.proxy) : std::string_view()},
      ResponseFacts{.detail = result.detail,
                    .ca_source = result.ca_source,
                    .retry_after = retry_after.value_or(-1),
                    .permission = permission});
}

PyObject* zone_request(PyObject* self, PyObject* zone_id_arg, const char* method,
                       const char* suffix, const std::string& body, Permission permission,
                       RequestKind kind) {
  auto* object = reinterpret_cast<CloudflareObject*>(self);
  std::string zone_id;
  if (!read_call_zone_id(object, zone_id_arg, zone_id)) return nullptr;
  ApiContext context;
  if (!read_api_context(object, context)) return nullptr;
  const std::string path = zone_path(zone_id) + suffix;
  return api_response(cloudflare_request(context, kind, method, &path, &body), context, permission);
}

PyObject* api_response_of(PyObject* status, PyObject* body, const ApiContext& context,
                          Permission permission) {
  return new_api_response(
      status, body,
      Secrets{context.token, context.proxy ? std::string_view(*context.proxy) : std::string_view()},
      ResponseFacts{.permission = permission});
}

PyObject* Cloudflare_get(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"path", nullptr};
    const char* path = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|s:get", const_cast<char**>(keywords), &path)) {
      return nullptr;
    }
    ApiContext context;
    if (!read_api_context(reinterpret_cast<CloudflareObject*>(self), context)) return nullptr;
    std::string path_text;
    if (path != nullptr) path_text = path;
    return api_response(
        cloudflare_request(context, "GET", path != nullptr ? &path_text : nullptr, nullptr),
        context, Permission::kNone);
  });
}

}  // namespace nuv
