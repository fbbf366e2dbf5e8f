#include "cloudflare/methods.h"
#include "cloudflare/records.h"
#include "cloudflare/zone.h"
#include "common/guard.h"
#include "common/percent_encode.h"

namespace nuv {

namespace {

void add_filter(std::string& path, const char* key, const char* value) {
  if (value == nullptr) return;
  path += '&';
  path += key;
  path += '=';
  path += percent_encode(value);
}

}  // namespace

// "/zones/<id>/dns_records?" and the filters given, always in the order
// type, name, content, each value percent-encoded.
std::string listing_path(std::string_view zone_id, const char* type, const char* name,
                         const char* content) {
  std::string path = records_path(zone_id) + "?";
  add_filter(path, "type", type);
  add_filter(path, "name", name);
  add_filter(path, "content", content);
  return path;
}

PyObject* Cloudflare_dns_get_records(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"domain", "type", "name", "content", "zone_id", nullptr};
    const char* domain = nullptr;
    const char* type = nullptr;
    const char* name = nullptr;
    const char* content = nullptr;
    PyObject* zone_id_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|zsss$O:dns_get_records",
                                     const_cast<char**>(keywords), &domain, &type, &name, &content,
                                     &zone_id_arg)) {
      return nullptr;
    }
    auto* object = reinterpret_cast<CloudflareObject*>(self);
    ApiContext context;
    if (!read_api_context(object, context)) return nullptr;
    std::string zone_id;
    if (!settle_call_zone(object, context, domain, zone_id_arg, zone_id)) return nullptr;
    const std::string path = listing_path(zone_id, type, name, content);
    return api_response(cloudflare_request(context, "GET", &path, nullptr), context,
                        Permission::kDnsRead);
  });
}

}  // namespace nuv
