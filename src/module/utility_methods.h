// Two Cloudflare methods that have nothing to do with the API. Each returns
// a new reference, or sets an exception and returns nullptr.
#pragma once

#include "common/python_compat.h"

namespace nuv {

PyObject* Cloudflare_fib(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Cloudflare_fputs(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace nuv
