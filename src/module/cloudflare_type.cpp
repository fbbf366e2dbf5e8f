#include "module/cloudflare_type.h"

#include <cstddef>

#include "cloudflare/cloudflare_object.h"
#include "cloudflare/methods.h"
#include "cloudflare/request.h"
#include "common/guard.h"
#include "common/py_ref.h"
#include "module/cloudflare_docs.h"
#include "module/cloudflare_listing_docs.h"
#include "module/utility_methods.h"
#include "surface/settings_attributes.h"
#include "transport/trace.h"

namespace nuv {

namespace {

CloudflareObject* as_cloudflare(PyObject* self) {
  return reinterpret_cast<CloudflareObject*>(self);
}

PyObject* Cloudflare_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
  PyRef self(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  CloudflareObject* object = as_cloudflare(self.get());
  for (PyObject** field :
       {&object->email, &object->account, &object->api_token, &object->api_url, &object->proxy}) {
    *field = PyUnicode_FromString("");
    if (*field == nullptr) return nullptr;  // dealloc releases the fields already set
  }
  object->settings = RequestSettings{};
  object->settings.rate_limit = kCloudflareRateLimit;
  return self.release();
}

int Cloudflare_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"email",           "account",    "api_token", "proxy",
                                   "api_url",         "zone_id",    "retries",   "timeout",
                                   "connect_timeout", "rate_limit", nullptr};
  PyObject* email = nullptr;
  PyObject* account = nullptr;
  PyObject* api_token = nullptr;
  PyObject* proxy = nullptr;
  PyObject* api_url = nullptr;
  PyObject* zone_id = nullptr;
  PyObject* retries = nullptr;
  PyObject* timeout = nullptr;
  PyObject* connect_timeout = nullptr;
  PyObject* rate_limit = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|UUUOU$OOOOO:Cloudflare",
                                   const_cast<char**>(keywords), &email, &account, &api_token,
                                   &proxy, &api_url, &zone_id, &retries, &timeout, &connect_timeout,
                                   &rate_limit)) {
    return -1;
  }
  if (zone_id == Py_None) zone_id = nullptr;
  if (zone_id != nullptr && !PyUnicode_Check(zone_id)) {
    PyErr_Format(PyExc_TypeError, "zone_id must be str or None, not %.200s",
                 Py_TYPE(zone_id)->tp_name);
    return -1;
  }
  // None: the environment's proxy variables, as curl reads them.
  if (proxy != nullptr && proxy != Py_None && !PyUnicode_Check(proxy)) {
    PyErr_Format(PyExc_TypeError, "Cloudflare() argument 'proxy' must be str or None, not %.50s",
                 Py_TYPE(proxy)->tp_name);
    return -1;
  }
  PyRef url =
      api_url != nullptr ? PyRef::borrow(api_url) : PyRef(PyUnicode_FromString(DEFAULT_API_URL));
  if (!url) return -1;

  CloudflareObject* object = as_cloudflare(self);
  if (!store_settings(object->settings, retries, timeout, connect_timeout, rate_limit)) return -1;
  if (email != nullptr) replace_field(object->email, Py_NewRef(email));
  if (account != nullptr) replace_field(object->account, Py_NewRef(account));
  if (api_token != nullptr) replace_field(object->api_token, Py_NewRef(api_token));
  if (proxy != nullptr) replace_field(object->proxy, Py_NewRef(proxy));
  replace_field(object->api_url, url.release());  // the field owns it now
  // A zone selected without a look-up: `zone` stays unset until one.
  if (zone_id != nullptr) replace_field(object->zone_id, Py_NewRef(zone_id));
  return 0;
}

// The members accept any object, so an instance can sit in a reference
// cycle (cf.email = cf): the collector must see and break its references.
int Cloudflare_traverse(PyObject* self, visitproc visit, void* arg) {
  CloudflareObject* object = as_cloudflare(self);
  Py_VISIT(object->email);
  Py_VISIT(object->account);
  Py_VISIT(object->api_token);
  Py_VISIT(object->api_url);
  Py_VISIT(object->zone);
  Py_VISIT(object->zone_id);
  Py_VISIT(object->proxy);
  return 0;
}

int Cloudflare_clear(PyObject* self) {
  CloudflareObject* object = as_cloudflare(self);
  Py_CLEAR(object->email);
  Py_CLEAR(object->account);
  Py_CLEAR(object->api_token);
  Py_CLEAR(object->api_url);
  Py_CLEAR(object->zone);
  Py_CLEAR(object->zone_id);
  Py_CLEAR(object->proxy);
  return 0;
}

void Cloudflare_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  Cloudflare_clear(self);
  Py_TYPE(self)->tp_free(self);
}

// zone and zone_id read as "" while unset, and stay unset: a read must not
// satisfy the zone-id check of the zone methods.
PyObject* get_text_field(PyObject* field) {
  return field != nullptr ? Py_NewRef(field) : PyUnicode_FromString("");
}

int set_text_field(PyObject*& field, PyObject* value) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "value should be unicode");
    return -1;
  }
  replace_field(field, Py_NewRef(value));
  return 0;
}

PyObject* Cloudflare_get_zone(PyObject* self, void*) {
  return get_text_field(as_cloudflare(self)->zone);
}
int Cloudflare_set_zone(PyObject* self, PyObject* value, void*) {
  return set_text_field(as_cloudflare(self)->zone, value);
}
PyObject* Cloudflare_get_zone_id(PyObject* self, void*) {
  return get_text_field(as_cloudflare(self)->zone_id);
}
int Cloudflare_set_zone_id(PyObject* self, PyObject* value, void*) {
  return set_text_field(as_cloudflare(self)->zone_id, value);
}

PyMemberDef Cloudflare_members[] = {
    {"email", Py_T_OBJECT_EX, offsetof(CloudflareObject, email), 0, Cloudflare_email_doc},
    {"account", Py_T_OBJECT_EX, offsetof(CloudflareObject, account), 0, Cloudflare_account_doc},
    {"api_token", Py_T_OBJECT_EX, offsetof(CloudflareObject, api_token), 0,
     Cloudflare_api_token_doc},
    {"api_url", Py_T_OBJECT_EX, offsetof(CloudflareObject, api_url), 0, Cloudflare_api_url_doc},
    {nullptr, 0, 0, 0, nullptr},
};

constexpr size_t kSettingsOffset = offsetof(CloudflareObject, settings);
SettingSlot retries_slot{kSettingsOffset, SettingName::kRetries};
SettingSlot timeout_slot{kSettingsOffset, SettingName::kTimeout};
SettingSlot connect_timeout_slot{kSettingsOffset, SettingName::kConnectTimeout};
SettingSlot rate_limit_slot{kSettingsOffset, SettingName::kRateLimit};

PyGetSetDef Cloudflare_getset[] = {
    {"zone", Cloudflare_get_zone, Cloudflare_set_zone, Cloudflare_zone_doc, nullptr},
    {"zone_id", Cloudflare_get_zone_id, Cloudflare_set_zone_id, Cloudflare_zone_id_doc, nullptr},
    {"retries", get_setting, set_setting,
     "Extra attempts for a request that may safely be sent again (default 2).", &retries_slot},
    {"timeout", get_setting, set_setting, "Seconds one attempt may take (default 30.0).",
     &timeout_slot},
    {"connect_timeout", get_setting, set_setting,
     "Seconds one attempt may take to connect (default 10.0).", &connect_timeout_slot},
    {"rate_limit", get_setting, set_setting,
     "Requests per 300 s with this token, kept by the whole process (default 1200; 0: no "
     "limit).",
     &rate_limit_slot},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A trace line cut short by Ctrl-C ends the method (traced_call).
#define NUV_METHOD(name)                                                                     \
  {                                                                                          \
#name, _PyCFunction_CAST(traced_call <Cloudflare_##name>), METH_VARARGS | METH_KEYWORDS, \
        Cloudflare_##name##_doc                                                              \
  }

PyMethodDef Cloudflare_methods[] = {
    NUV_METHOD(fib),
    NUV_METHOD(fputs),
    NUV_METHOD(get),
    NUV_METHOD(query),
    NUV_METHOD(dns_get_records),
    NUV_METHOD(dns_create_record),
    NUV_METHOD(dns_delete_record),
    NUV_METHOD(dns_update_record),
    NUV_METHOD(dns_ensured_record),
    NUV_METHOD(dns_plan),
    NUV_METHOD(change_always_use_https),
    NUV_METHOD(change_automatic_https_rewrites),
    NUV_METHOD(change_ssl_model),
    NUV_METHOD(purge_cache),
    NUV_METHOD(list_zones),
    NUV_METHOD(list_dns_records),
    NUV_METHOD(get_zone_setting),
    NUV_METHOD(dns_sync_plan),
    NUV_METHOD(dns_sync),
    {nullptr, nullptr, 0, nullptr},
};

#undef NUV_METHOD

}  // namespace

// Slots left out of the designated initialiser stay zero and are inherited
// from object by PyType_Ready.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
// clang-format off
PyTypeObject CloudflareType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "nuv.Cloudflare",
    .tp_basicsize = sizeof(CloudflareObject),
    .tp_itemsize = 0,
    .tp_dealloc = Cloudflare_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = Cloudflare_doc,
    .tp_traverse = Cloudflare_traverse,
    .tp_clear = Cloudflare_clear,
    .tp_methods = Cloudflare_methods,
    .tp_members = Cloudflare_members,
    .tp_getset = Cloudflare_getset,
    .tp_init = Cloudflare_init,
    .tp_new = Cloudflare_new,
};
// clang-format on
#pragma GCC diagnostic pop

}  // namespace nuv
