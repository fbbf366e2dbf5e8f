// Owning reference to a Python object: the reference is released when the
// owner goes, on every path. Use only while holding the interpreter lock.
#pragma once

#include "common/python_compat.h"

#include <utility>

namespace nuv {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new (owned) reference; nullptr is allowed.
  explicit PyRef(PyObject* owned) noexcept : obj_(owned) {}
  static PyRef borrow(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) reset(std::exchange(other.obj_, nullptr));
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // Hands the reference to the caller (usually: back to the interpreter).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  void reset(PyObject* owned = nullptr) noexcept {
    PyObject* old = std::exchange(obj_, owned);
    Py_XDECREF(old);
  }

 private:
  PyObject* obj_ = nullptr;
};

// Replaces the reference held in an object's field, releasing the old value
// only after the new one is in place (the old value's finaliser may run code
// that reads the field).
inline void replace_field(PyObject*& field, PyObject* owned) noexcept {
  PyObject* old = field;
  field = owned;
  Py_XDECREF(old);
}

}  // namespace nuv
