// The boundary between C++ and the interpreter: no C++ exception may cross
// into CPython, so every method body runs inside call_guarded.
#pragma once

#include "common/python_compat.h"

#include <exception>
#include <new>

namespace nuv {

// Runs body(); on a C++ exception, set the matching Python exception and
// return the error value (nullptr for methods, -1 for int slots).
template <class Result, class Body>
Result call_guarded(Result error_value, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected C++ exception");
  }
  return error_value;
}

template <class Body>
PyObject* guarded(Body&& body) noexcept {
  return call_guarded<PyObject*>(nullptr, static_cast<Body&&>(body));
}

}  // namespace nuv
