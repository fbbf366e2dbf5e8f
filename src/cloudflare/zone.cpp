#include "cloudflare/zone.h"

#include <json-c/json.h>

#include "cloudflare/methods.h"
#include "cloudflare/record_match.h"
#include "common/guard.h"
#include "common/json_tree.h"
#include "common/percent_encode.h"
#include "common/text.h"
#include "surface/errors.h"
#include "transport/trace.h"

namespace nuv {

namespace {

// The id of the zone listed under `domain` (see same_dns_name), or nullptr
// when the answer does not say "success": true with a "result" array; `none`
// tells a successful answer that lists no zone of that name. The service's
// name filter takes operators ("not_equal:", "contains:", ...), and an
// answer may list other zones first: only the name decides which zone the
// writes go to.
const char* zone_id_named(json_object* root, std::string_view domain, bool& none) {
  none = false;
  json_object* success = nullptr;
  json_object* result = nullptr;
  if (!json_object_is_type(root, json_type_object) ||
      !json_object_object_get_ex(root, "success", &success) || !json_object_get_boolean(success) ||
      !json_object_object_get_ex(root, "result", &result) ||
      !json_object_is_type(result, json_type_array)) {
    return nullptr;
  }
  const size_t count = json_object_array_length(result);
  for (size_t i = 0; i < count; ++i) {
    json_object* zone = json_object_array_get_idx(result, i);
    json_object* name = nullptr;
    if (!json_object_object_get_ex(zone, "name", &name) ||
        !json_object_is_type(name, json_type_string) ||
        !same_dns_name(std::string_view(json_object_get_string(name),
                                        static_cast<size_t>(json_object_get_string_len(name))),
                       domain)) {
      continue;
    }
    json_object* id = nullptr;
    if (!json_object_object_get_ex(zone, "id", &id) || id == nullptr) return nullptr;
    return json_object_get_string(id);
  }
  none = true;
  return nullptr;
}

}  // namespace

void raise_domain_not_found(const char* domain) {
  PyObject* cause = PyErr_GetRaisedException();
  raise_zone_not_found(std::string("Domain not found: ") + domain, ZoneProblem::kNotFound, nullptr);
  if (cause == nullptr) return;
  PyObject* error = PyErr_GetRaisedException();
  PyException_SetCause(error, cause);  // steals 'cause'
  PyErr_SetRaisedException(error);
}

PyRef lookup_zone(CloudflareObject* self, const ApiContext& context, const std::string& domain) {
  const std::string path = std::string(DEFAULT_ZONES_PATH) + "&name=" + percent_encode(domain);
  const HttpResult result = cloudflare_request(context, "GET", &path, nullptr);
  PyRef response(api_response(result, context, Permission::kZoneRead));
  if (!response) return {};

  JsonTree root(json_tokener_parse(result.body.c_str()));
  bool none = false;
  const char* id = zone_id_named(root.get(), domain, none);
  if (none) {
    raise_zone_not_found("Domain not found: " + domain, ZoneProblem::kNotFound, response.get());
    return {};
  }
  if (id == nullptr) {
    // The whole answer is the message, as it always was, credentials masked.
    raise_for_response(response.get(), response_masked_body(response.get()));
    return {};
  }
  PyRef zone_id(PyUnicode_FromString(id));
  if (!zone_id) return {};
  PyRef zone(PyUnicode_FromStringAndSize(domain.data(), static_cast<Py_ssize_t>(domain.size())));
  if (!zone) return {};
  replace_field(self->zone_id, zone_id.release());  // the object owns both now
  replace_field(self->zone, zone.release());
  return response;
}

bool settle_zone(CloudflareObject* self, const ApiContext& context, const char* domain,
                 std::string& zone_id) {
  if (domain == nullptr) {
    if (self->zone_id == nullptr) {
      PyErr_SetString(PyExc_TypeError, "domain should be a string");
      return false;
    }
    return utf8_of_str(self->zone_id, zone_id);
  }
  bool same_zone = false;
  if (self->zone != nullptr) {
    std::string current;
    if (!utf8_of_str(self->zone, current)) return false;
    trace("current_domain: %s\n", current.c_str());
    same_zone = current == domain;
  }
  if (!same_zone) {
    if (!lookup_zone(self, context, domain)) {
      raise_domain_not_found(domain);
      return false;
    }
  }
  if (self->zone_id == nullptr) {
    raise_zone_not_found("Domain not found!", ZoneProblem::kNotSelected, nullptr);
    return false;
  }
  return utf8_of_str(self->zone_id, zone_id);
}

PyObject* Cloudflare_query(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"domain", nullptr};
    const char* domain = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s:query", const_cast<char**>(keywords),
                                     &domain)) {
      return nullptr;
    }
    auto* object = reinterpret_cast<CloudflareObject*>(self);
    ApiContext context;
    if (!read_api_context(object, context)) return nullptr;
    return lookup_zone(object, context, domain).release();
  });
}

}  // namespace nuv
