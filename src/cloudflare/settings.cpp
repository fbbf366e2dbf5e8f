#include <json-c/json.h>

#include "cloudflare/methods.h"
#include "cloudflare/request.h"
#include "common/guard.h"
#include "common/json_build.h"

namespace nuv {

namespace {

// A one-member JSON object, pretty-printed like the record body.
std::string single_member_body(const char* key, JsonTree value) {
  JsonTree body = json_new_object();
  json_add_member(body, key, std::move(value));
  return json_text(body, JSON_C_TO_STRING_SPACED | JSON_C_TO_STRING_PRETTY);
}

// Sends `body` with `method` to "/zones/<zone id>" + suffix.
PyObject* zone_request(PyObject* self, const char* method, const char* suffix,
                       const std::string& body, Permission permission) {
  auto* object = reinterpret_cast<CloudflareObject*>(self);
  std::string zone_id;
  if (!read_zone_id(object, zone_id)) return nullptr;
  ApiContext context;
  if (!read_api_context(object, context)) return nullptr;
  const std::string path = zone_path(zone_id) + suffix;
  return api_response(cloudflare_request(context, method, &path, &body), context, permission);
}

PyObject* change_setting(PyObject* self, PyObject* args, PyObject* kwargs, const char* format,
                         const char* setting_suffix) {
  static const char* keywords[] = {"value", nullptr};
  const char* value = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &value)) {
    return nullptr;
  }
  return zone_request(self, "PATCH", setting_suffix,
                      single_member_body("value", json_new_string(value)),
                      Permission::kZoneSettings);
}

}  // namespace

PyObject* Cloudflare_change_always_use_https(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    return change_setting(self, args, kwargs, "s:change_always_use_https",
                          "/settings/always_use_https");
  });
}

PyObject* Cloudflare_change_automatic_https_rewrites(PyObject* self, PyObject* args,
                                                     PyObject* kwargs) {
  return guarded([&] {
    return change_setting(self, args, kwargs, "s:change_automatic_https_rewrites",
                          "/settings/automatic_https_rewrites");
  });
}

PyObject* Cloudflare_change_ssl_model(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded(
      [&] { return change_setting(self, args, kwargs, "s:change_ssl_model", "/settings/ssl"); });
}

// Arguments are accepted and ignored: purging everything takes none.
PyObject* Cloudflare_purge_cache(PyObject* self, PyObject* /*args*/, PyObject* /*kwargs*/) {
  return guarded([&] {
    return zone_request(self, "POST", "/purge_cache",
                        single_member_body("purge_everything", json_new_bool(true)),
                        Permission::kCachePurge);
  });
}

}  // namespace nuv
