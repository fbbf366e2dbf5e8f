// The Cloudflare methods, in the order of the type's method table. Each
// returns a new reference, or sets an exception and returns nullptr.
#pragma once

#include "common/python_compat.h"

namespace nuv {

PyObject* Cloudflare_get(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Cloudflare_query(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Cloudflare_dns_get_records(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Cloudflare_dns_create_record(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Cloudflare_dns_delete_record(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Cloudflare_dns_update_record(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Cloudflare_dns_ensured_record(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Cloudflare_dns_plan(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Cloudflare_change_always_use_https(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Cloudflare_change_automatic_https_rewrites(PyObject* self, PyObject* args,
                                                     PyObject* kwargs);
PyObject* Cloudflare_change_ssl_model(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Cloudflare_purge_cache(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Cloudflare_list_zones(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Cloudflare_list_dns_records(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Cloudflare_get_zone_setting(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Cloudflare_dns_sync_plan(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Cloudflare_dns_sync(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace nuv
