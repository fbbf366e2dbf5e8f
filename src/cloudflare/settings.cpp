#include "cloudflare/methods.h"

namespace nuv {

PyObject* Cloudflare_change_always_use_https(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "change_always_use_https is not available yet");
  return nullptr;
}

PyObject* Cloudflare_change_automatic_https_rewrites(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "change_automatic_https_rewrites is not available yet");
  return nullptr;
}

PyObject* Cloudflare_change_ssl_model(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "change_ssl_model is not available yet");
  return nullptr;
}

PyObject* Cloudflare_purge_cache(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "purge_cache is not available yet");
  return nullptr;
}

}  // namespace nuv
