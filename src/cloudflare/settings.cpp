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

PyObject* change_setting(PyObject* self, PyObject* args, PyObject* kwargs, const char* format,
                         const char* setting_suffix) {
  static const char* keywords[] = {"value", "zone_id", nullptr};
  const char* value = nullptr;
  PyObject* zone_id = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &value,
                                   &zone_id)) {
    return nullptr;
  }
  return zone_request(self, zone_id, "PATCH", setting_suffix,
                      single_member_body("value", json_new_string(value)),
                      Permission::kZoneSettings);
}

}  // namespace

PyObject* Cloudflare_change_always_use_https(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    return change_setting(self, args, kwargs, "s|$O:change_always_use_https",
                          "/settings/always_use_https");
  });
}

PyObject* Cloudflare_change_automatic_https_rewrites(PyObject* self, PyObject* args,
                                                     PyObject* kwargs) {
  return guarded([&] {
    return change_setting(self, args, kwargs, "s|$O:change_automatic_https_rewrites",
                          "/settings/automatic_https_rewrites");
  });
}

PyObject* Cloudflare_change_ssl_model(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded(
      [&] { return change_setting(self, args, kwargs, "s|$O:change_ssl_model", "/settings/ssl"); });
}

}  // namespace nuv
