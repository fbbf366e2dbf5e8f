#include "cloudflare/methods.h"

namespace nuv {

PyObject* Cloudflare_dns_ensured_record(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "dns_ensured_record is not available yet");
  return nullptr;
}

}  // namespace nuv
