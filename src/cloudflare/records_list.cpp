#include "cloudflare/methods.h"

namespace nuv {

PyObject* Cloudflare_dns_get_records(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "dns_get_records is not available yet");
  return nullptr;
}

}  // namespace nuv
