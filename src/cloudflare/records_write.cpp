#include "cloudflare/methods.h"

namespace nuv {

PyObject* Cloudflare_dns_create_record(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "dns_create_record is not available yet");
  return nullptr;
}

PyObject* Cloudflare_dns_delete_record(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "dns_delete_record is not available yet");
  return nullptr;
}

PyObject* Cloudflare_dns_update_record(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "dns_update_record is not available yet");
  return nullptr;
}

}  // namespace nuv
