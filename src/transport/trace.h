// Diagnostic lines, one process-wide sink. The target is file descriptor 1
// unless the program chose another (nuv.set_trace, NUV_TRACE): descriptor 2,
// nothing, the "nuv" logger, or a Python object (write(str)) or callable.
//
// Every line is built completely, its inner CR and LF escaped, and then
// handed over in one piece: one write(2) per line for a descriptor, or one
// for the lines of a TraceBatch (without the interpreter lock, so a reader
// thread of the same process can drain a pipe), one call per line for a
// Python target (with the lock held). Never
// call trace from a libcurl callback: a Python target needs the lock.
#pragma once

#include "common/python_compat.h"

#include <string>

namespace nuv {

enum class TraceTarget {
  kStdout,    // file descriptor 1: the documented default
  kStderr,    // file descriptor 2
  kOff,       // nothing; callers skip formatting
  kLogging,   // one DEBUG record of logging.getLogger("nuv") per line
  kObject,    // target.write(line), the line with its "\n"
  kCallable,  // target(line), the line without its "\n"
};

// False when the target is "off": callers with costly arguments (masks,
// joins) test it first, so a silenced trace costs nothing. Any thread.
bool trace_enabled() noexcept;

// Formats one line (the format ends in "\n") and writes it to the target.
// Any thread, the interpreter lock held or not. Never fails: a line that
// cannot be written is dropped, and an exception raised by a Python target
// goes to sys.unraisablehook, except an interrupt (see take_trace_interrupt).
[[gnu::format(printf, 1, 2)]] void trace(const char* format, ...) noexcept;

// Ctrl-C must end a call also while one of its lines is being written: a
// signal handler that raised while a line waited for its descriptor (a full
// pipe, another thread's line), or a Python target that raised
// KeyboardInterrupt or SystemExit (an exception not derived from Exception,
// which a target's own fault never is). trace() cannot raise, so the line is
// cut short and the exception kept for this thread until the call takes it.
// Returns that exception (a new reference, no longer kept) or nullptr. Needs
// the interpreter lock.
PyObject* take_trace_interrupt() noexcept;

// take_trace_interrupt() as a check point: when one is kept, set it as the
// current exception and return true. Needs the interpreter lock.
bool raise_trace_interrupt() noexcept;

// The end of a method that may have traced: a kept interrupt replaces its
// result (which is released) and is raised; with an exception already set,
// the interrupt goes up with that one as its context. Returns `result`, or
// nullptr with the exception set.
PyObject* end_of_traced_call(PyObject* result) noexcept;

// A method of the Python surface wrapped by end_of_traced_call.
template <PyObject* (*Method)(PyObject*, PyObject*, PyObject*)>
PyObject* traced_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return end_of_traced_call(Method(self, args, kwargs));
}

// While alive, the lines this thread traces to a file descriptor are kept
// and written together, whole lines in one write(2), when flush() is called
// or the batch ends: a request's lines before its transfer cost one system
// call (and one wake-up of a reader at the other end of a pipe) instead of
// one per line. Python targets are not batched. A batch inside a batch adds
// nothing: the outer one writes when it ends, and flush() on either writes
// what is pending. Any thread; never inside a libcurl callback.
class TraceBatch {
 public:
  TraceBatch() noexcept;
  ~TraceBatch();
  TraceBatch(const TraceBatch&) = delete;
  TraceBatch& operator=(const TraceBatch&) = delete;
  void flush() noexcept;

 private:
  bool owner_;
};

// The current target. With kObject and kCallable, `object` receives a new
// reference to it. Needs the interpreter lock.
TraceTarget current_trace_target(PyObject** object);

// Makes `target` the sink; `object` (a new reference is taken) is the
// Python target of kObject and kCallable, null otherwise. Needs the
// interpreter lock.
void set_trace_target(TraceTarget target, PyObject* object);

// Escapes CR and LF as "\r" and "\n" in `text`, keeping a final "\n": a
// traced value can never start a line of its own.
void escape_line_breaks(std::string& text);

}  // namespace nuv
