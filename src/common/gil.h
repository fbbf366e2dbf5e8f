// Releases the interpreter lock for the lifetime of the guard. Nothing that
// touches a Python object may run while it is alive.
#pragma once

#include <Python.h>

namespace nuv {

class GilRelease {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace nuv
