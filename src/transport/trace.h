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
// goes to sys.unraisablehook.
[[gnu::format(printf, 1, 2)]] void trace(const char* format, ...) noexcept;

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
