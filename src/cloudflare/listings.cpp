// list_zones and list_dns_records: every page of a listing as one list, on
// the one pagination (listing_pages) and the one path builder (zone_path,
// records_path, percent_encode); get_zone_setting reads one setting.
#include <string_view>
#include <unordered_set>

#include "cloudflare/listing_pages.h"
#include "cloudflare/methods.h"
#include "cloudflare/records.h"
#include "cloudflare/zone.h"
#include "common/guard.h"
#include "common/percent_encode.h"
#include "common/py_ref.h"
#include "common/text.h"
#include "surface/errors.h"

namespace nuv {

namespace {

// The service's largest page of records.
constexpr long kMaxRecordsPerPage = 5000;
// The service's largest page of zones.
constexpr char kZonesPerPage[] = "50";

void add_query(std::string& path, std::string_view key, std::string_view value) {
  path += path.find('?') == std::string::npos ? '?' : '&';
  path += percent_encode(key);
  path += '=';
  path += percent_encode(value);
}

// An optional text keyword: null or None leaves it out. On error (not a str),
// set an exception and return false.
bool add_text_filter(std::string& path, const char* key, PyObject* given, const char* keyword) {
  if (given == nullptr || given == Py_None) return true;
  if (!PyUnicode_Check(given)) {
    PyErr_Format(PyExc_TypeError, "%s must be str or None, not %.200s", keyword,
                 Py_TYPE(given)->tp_name);
    return false;
  }
  std::string value;
  if (!utf8_of_str(given, value)) return false;
  add_query(path, key, value);
  return true;
}

// filters: {query name: str, or a list or tuple of str for a filter given
// several times}. Paging is the listing's own. On error, set an exception
// and return false.
bool add_filters(std::string& path, PyObject* filters) {
  if (filters == nullptr || filters == Py_None) return true;
  if (!PyDict_Check(filters)) {
    PyErr_Format(PyExc_TypeError, "filters must be a dict of str, not %.200s",
                 Py_TYPE(filters)->tp_name);
    return false;
  }
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t at = 0;
  while (PyDict_Next(filters, &at, &key, &value)) {
    std::string name;
    if (!PyUnicode_Check(key)) {
      PyErr_SetString(PyExc_TypeError, "filters keys must be str");
      return false;
    }
    if (!utf8_of_str(key, name)) return false;
    if (name == "page" || name == "per_page") {
      PyErr_Format(PyExc_ValueError, "filters must not hold '%s': the listing reads every page",
                   name.c_str());
      return false;
    }
    const bool several = PyList_Check(value) || PyTuple_Check(value);
    PyRef items(several ? PySequence_Fast(value, "filters") : PyTuple_Pack(1, value));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
      PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
      if (!PyUnicode_Check(item)) {
        PyErr_Format(PyExc_TypeError, "filters['%s'] must be str (or a list of str), not %.200s",
                     name.c_str(), Py_TYPE(item)->tp_name);
        return false;
      }
      std::string text;
      if (!utf8_of_str(item, text)) return false;
      add_query(path, name, text);
    }
  }
  return true;
}

// Appends the items of one page to `out`, each record (or zone) once: items
// that shift between pages while the listing is read come back again.
bool append_new_items(PyObject* response, PyObject* out, std::unordered_set<std::string>& seen) {
  PyRef items(listed_items(response));
  if (!items) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(items.get(), i);
    PyObject* id = PyDict_Check(item) ? PyDict_GetItemString(item, "id") : nullptr;  // borrowed
    if (id != nullptr && PyUnicode_Check(id)) {
      std::string text;
      if (!utf8_of_str(id, text)) return false;
      if (!seen.insert(std::move(text)).second) continue;
    }
    if (PyList_Append(out, item) < 0) return false;
  }
  return true;
}

PyObject* every_item(const ApiContext& context, const std::string& path, size_t max_pages,
                     Permission permission, const std::string& what) {
  PyRef out(PyList_New(0));
  if (!out) return nullptr;
  std::unordered_set<std::string> seen;
  const bool read = read_every_page(context, path, max_pages, permission, what,
                                    [&](const HttpResult&, PyObject* response) {
                                      return append_new_items(response, out.get(), seen);
                                    });
  return read ? out.release() : nullptr;
}

}  // namespace

PyObject* Cloudflare_list_zones(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"name", "status", "account_id", nullptr};
    PyObject* name = nullptr;
    PyObject* status = nullptr;
    PyObject* account_id = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOO:list_zones", const_cast<char**>(keywords),
                                     &name, &status, &account_id)) {
      return nullptr;
    }
    ApiContext context;
    if (!read_api_context(reinterpret_cast<CloudflareObject*>(self), context)) return nullptr;
    // A fixed order, so that pages read one after another neither skip nor
    // repeat a zone.
    std::string path =
        std::string("/zones?per_page=") + kZonesPerPage + "&order=name&direction=asc";
    if (!add_text_filter(path, "name", name, "name") ||
        !add_text_filter(path, "status", status, "status") ||
        !add_text_filter(path, "account.id", account_id, "account_id")) {
      return nullptr;
    }
    return every_item(context, path, kMaxZonePages, Permission::kZoneRead, "zones");
  });
}

PyObject* Cloudflare_list_dns_records(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"domain",  "zone_id", "type",     "name",
                                     "content", "filters", "per_page", nullptr};
    const char* domain = nullptr;
    PyObject* zone_id_arg = nullptr;
    PyObject* type = nullptr;
    PyObject* name = nullptr;
    PyObject* content = nullptr;
    PyObject* filters = nullptr;
    long per_page = kMaxRecordsPerPage;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|z$OOOOOl:list_dns_records",
                                     const_cast<char**>(keywords), &domain, &zone_id_arg, &type,
                                     &name, &content, &filters, &per_page)) {
      return nullptr;
    }
    if (per_page < 1 || per_page > kMaxRecordsPerPage) {
      PyErr_Format(PyExc_ValueError, "per_page must be between 1 and %ld", kMaxRecordsPerPage);
      return nullptr;
    }
    auto* object = reinterpret_cast<CloudflareObject*>(self);
    if (domain == nullptr && !zone_id_given(zone_id_arg) && object->zone_id == nullptr) {
      raise_zone_not_found(kZoneIdNullMessage, ZoneProblem::kNotSelected, nullptr);
      return nullptr;
    }
    std::string path = "?per_page=" + std::to_string(per_page);
    if (!add_text_filter(path, "type", type, "type") ||
        !add_text_filter(path, "name", name, "name") ||
        !add_text_filter(path, "content", content, "content") || !add_filters(path, filters)) {
      return nullptr;
    }
    ApiContext context;
    if (!read_api_context(object, context)) return nullptr;
    std::string zone_id;
    if (!settle_call_zone(object, context, domain, zone_id_arg, zone_id)) return nullptr;
    const std::string what = domain != nullptr ? std::string("records of ") + domain : "records";
    return every_item(context, records_path(zone_id) + path, kMaxRecordPages, Permission::kDnsRead,
                      what);
  });
}

PyObject* Cloudflare_get_zone_setting(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"setting_id", "zone_id", nullptr};
    const char* setting_id = nullptr;
    PyObject* zone_id = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|$O:get_zone_setting",
                                     const_cast<char**>(keywords), &setting_id, &zone_id)) {
      return nullptr;
    }
    const std::string suffix = "/settings/" + percent_encode_segment(setting_id);
    return zone_request(self, zone_id, "GET", suffix.c_str(), std::string(),
                        Permission::kZoneSettingsRead, RequestKind::kRead);
  });
}

}  // namespace nuv
