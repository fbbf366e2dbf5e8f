#include "cloudflare/methods.h"

namespace nuv {

PyObject* Cloudflare_query(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "query is not available yet");
  return nullptr;
}

}  // namespace nuv
