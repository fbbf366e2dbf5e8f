// Releases the interpreter lock for the lifetime of the guard. Nothing that
// touches a Python object may run while it is alive.
#pragma once

#include <unistd.h>
#include "common/python_compat.h"

namespace nuv {

// A thread that would take the interpreter lock back while the interpreter
// is finalizing (a daemon thread whose wait ends after the main thread
// returned) stops here for good instead: CPython would end it with
// pthread_exit, whose forced unwinding through our noexcept frames
// terminates the whole process. The process is exiting; the thread never
// runs again, and no lock of ours is held while it sleeps.
[[noreturn]] inline void park_thread_for_exit() noexcept {
  for (;;) pause();
}

class GilRelease {
 public:
  GilRelease() noexcept
      : finalizing_at_start_(Py_IsFinalizing() != 0), state_(PyEval_SaveThread()) {}
  ~GilRelease() {
    // Only the finalizing thread runs Python code once finalization began,
    // so a guard made after it began is that thread's own: it must go on.
    if (!finalizing_at_start_ && Py_IsFinalizing()) park_thread_for_exit();
    PyEval_RestoreThread(state_);
  }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  bool finalizing_at_start_;
  PyThreadState* state_;
};

}  // namespace nuv
