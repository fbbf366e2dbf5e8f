#include "transport/trace.h"

#include <errno.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <new>

#include "common/gil.h"
#include "common/py_ref.h"

namespace nuv {

namespace {

std::atomic<TraceTarget> g_target{TraceTarget::kStdout};
// The Python object of kObject and kCallable; read and replaced only with
// the interpreter lock held.
PyObject* g_target_object = nullptr;
// logging.getLogger("nuv"), looked up at the first line: importing logging
// costs milliseconds that a program which never asks for it should not pay.
PyObject* g_logger = nullptr;

// Lines from two threads never mix on a descriptor, even when one line
// takes several write(2) calls (a line larger than a pipe's buffer).
pthread_mutex_t g_fd_lock = PTHREAD_MUTEX_INITIALIZER;

// A child forked while another thread was writing would find the lock held
// forever; the writer does not exist in the child.
void reset_fd_lock_in_child() { pthread_mutex_init(&g_fd_lock, nullptr); }
[[maybe_unused]] const int kForkHandlerInstalled =
    pthread_atfork(nullptr, nullptr, reset_fd_lock_in_child);

// The lines of this thread's TraceBatch and the descriptor they go to.
struct PendingLines {
  bool active = false;
  int fd = -1;
  std::string text;
};
thread_local PendingLines t_pending;

// A line traced by a Python target itself (its write() making a request) is
// dropped rather than written back into the target without end.
thread_local bool t_inside_python_target = false;

// Formats into `line`; false when memory ran out or the format failed.
bool format_line(std::string& line, const char* format, va_list args) {
  char small[512];
  va_list retry;
  va_copy(retry, args);
  const int size = std::vsnprintf(small, sizeof small, format, args);
  bool ok = size >= 0;
  if (ok && static_cast<size_t>(size) < sizeof small) {
    line.assign(small, static_cast<size_t>(size));
  } else if (ok) {
    line.resize(static_cast<size_t>(size) + 1);
    std::vsnprintf(line.data(), line.size(), format, retry);
    line.resize(static_cast<size_t>(size));
  }
  va_end(retry);
  return ok;
}

// The interrupt that cut a line of this thread short, until its call takes
// it (take_trace_interrupt). Owned.
thread_local PyObject* t_interrupt = nullptr;

// Keeps the exception now set as this thread's interrupt; the first one
// wins. Needs the interpreter lock.
void keep_interrupt() {
  PyObject* raised = PyErr_GetRaisedException();
  if (t_interrupt == nullptr) {
    t_interrupt = raised;  // 'raised' is now owned by t_interrupt
  } else {
    Py_XDECREF(raised);
  }
}

// A blocking write, or the wait for another thread's line, was cut short by a
// signal or is taking long: a caller that let go of the interpreter lock for
// the write (`may_take_lock`) takes it back, runs the pending signal handlers
// (CPython runs them in the main thread only) and keeps the exception of one
// that raised. True when the line must be given up.
bool interrupted_while_writing(bool may_take_lock) noexcept {
  if (!may_take_lock || Py_IsFinalizing()) return false;
  const PyGILState_STATE state = PyGILState_Ensure();
  const bool raised = PyErr_CheckSignals() < 0;
  if (raised) keep_interrupt();
  PyGILState_Release(state);
  return raised;
}

// How long a line waits for the descriptor before pending signal handlers
// are run.
constexpr long kLockSliceNanoseconds = 50'000'000;

// Takes the descriptor lock; false when a signal handler raised meanwhile.
bool lock_descriptors(bool may_take_lock) noexcept {
  if (pthread_mutex_trylock(&g_fd_lock) == 0) return true;
  if (!may_take_lock) return pthread_mutex_lock(&g_fd_lock) == 0;
  for (;;) {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_nsec += kLockSliceNanoseconds;
    if (deadline.tv_nsec >= 1'000'000'000) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1'000'000'000;
    }
    const int locked = pthread_mutex_timedlock(&g_fd_lock, &deadline);
    if (locked == 0) return true;
    if (locked != ETIMEDOUT) return pthread_mutex_lock(&g_fd_lock) == 0;
    if (interrupted_while_writing(true)) return false;
  }
}

void write_all(int fd, const char* data, size_t size, bool may_take_lock) noexcept {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno != EINTR) {
      return;  // a closed or broken descriptor: the line is lost, the request goes on
    }
    if (written > 0) {
      data += written;
      size -= static_cast<size_t>(written);
    }
    // A blocking descriptor returns before the whole line is written (EINTR,
    // or a part) when a signal arrived; Ctrl-C must not wait for a reader.
    if (size > 0 && interrupted_while_writing(may_take_lock)) return;
  }
}

// Writes without the interpreter lock: a descriptor can block (a full pipe,
// a stalled terminal), and a thread of this process may be the reader.
void write_to_fd(int fd, const std::string& line) noexcept {
  auto write_locked = [&](bool may_take_lock) {
    if (!lock_descriptors(may_take_lock)) return;
    write_all(fd, line.data(), line.size(), may_take_lock);
    pthread_mutex_unlock(&g_fd_lock);
  };
  // While the interpreter finalizes, a thread that lets go of the lock may
  // never get it back: write with it held then.
  if (PyGILState_Check() && !Py_IsFinalizing()) {
    GilRelease unlocked;
    write_locked(true);
  } else {
    write_locked(false);
  }
}

PyObject* nuv_logger() {
  if (g_logger != nullptr) return g_logger;
  PyRef logging(PyImport_ImportModule("logging"));
  if (!logging) return nullptr;
  g_logger = PyObject_CallMethod(logging.get(), "getLogger", "s", "nuv");
  return g_logger;
}

// One call of the Python target; its exception goes to sys.unraisablehook,
// or is kept when it is an interrupt. Needs the interpreter lock.
void write_to_python(const std::string& line) {
  const TraceTarget target = g_target.load(std::memory_order_relaxed);
  // Python's own conventions: write() receives what a file would (the
  // newline included), a callable and the logger one line without it.
  const bool with_newline = target == TraceTarget::kObject;
  const size_t length =
      with_newline || line.empty() || line.back() != '\n' ? line.size() : line.size() - 1;
  PyRef text(
      PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(length), "backslashreplace"));
  PyRef result;
  PyRef callee;
  if (text) {
    t_inside_python_target = true;
    switch (target) {
      case TraceTarget::kObject:
        callee = PyRef::borrow(g_target_object);  // set_trace may replace it meanwhile
        result.reset(PyObject_CallMethod(callee.get(), "write", "O", text.get()));
        break;
      case TraceTarget::kCallable:
        callee = PyRef::borrow(g_target_object);
        result.reset(PyObject_CallOneArg(callee.get(), text.get()));
        break;
      case TraceTarget::kLogging:
        callee = PyRef::borrow(nuv_logger());
        if (callee) result.reset(PyObject_CallMethod(callee.get(), "debug", "O", text.get()));
        break;
      default:
        result = PyRef::borrow(Py_None);  // the target changed to a descriptor or off
        break;
    }
    t_inside_python_target = false;
  }
  if (!result && PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) {
    keep_interrupt();  // KeyboardInterrupt, SystemExit: the call ends
  } else if (!result) {
    PyErr_FormatUnraisable("Exception ignored while writing a trace line to %R",
                           callee ? callee.get() : Py_None);
  }
}

void write_to_python_target(const std::string& line) noexcept {
  if (t_inside_python_target) return;
  // Lines are written from the calling thread, never from a libcurl
  // callback; a caller that released the lock takes it back for the line.
  const bool held = PyGILState_Check() != 0;
  if (!held && Py_IsFinalizing()) return;
  const PyGILState_STATE state = held ? PyGILState_LOCKED : PyGILState_Ensure();
  // A caller may be on its way out with an exception set; the target must
  // neither see it nor lose it.
  PyObject* pending = PyErr_GetRaisedException();
  try {
    write_to_python(line);
  } catch (...) {
    // Only allocation can throw here; the line is dropped.
  }
  PyErr_SetRaisedException(pending);
  if (!held) PyGILState_Release(state);
}

}  // namespace

void escape_line_breaks(std::string& text) {
  const bool ends_line = !text.empty() && text.back() == '\n';
  const size_t body = ends_line ? text.size() - 1 : text.size();
  if (text.find_first_of("\r\n") >= body) return;
  std::string escaped;
  escaped.reserve(text.size() + 8);
  for (size_t i = 0; i < body; ++i) {
    const char c = text[i];
    if (c == '\n') {
      escaped += "\\n";
    } else if (c == '\r') {
      escaped += "\\r";
    } else {
      escaped.push_back(c);
    }
  }
  if (ends_line) escaped.push_back('\n');
  text.swap(escaped);
}

bool trace_enabled() noexcept {
  return g_target.load(std::memory_order_relaxed) != TraceTarget::kOff;
}

void trace(const char* format, ...) noexcept {
  const TraceTarget target = g_target.load(std::memory_order_relaxed);
  // After an interrupt the call is on its way out: its remaining lines would
  // only delay that (a slow target, a full pipe).
  if (target == TraceTarget::kOff || t_interrupt != nullptr) return;
  try {
    std::string line;
    va_list args;
    va_start(args, format);
    const bool formatted = format_line(line, format, args);
    va_end(args);
    if (!formatted) return;
    escape_line_breaks(line);
    if (target == TraceTarget::kStdout || target == TraceTarget::kStderr) {
      const int fd = target == TraceTarget::kStdout ? STDOUT_FILENO : STDERR_FILENO;
      if (!t_pending.active) {
        write_to_fd(fd, line);
        return;
      }
      // The target changed while the batch was open: what it holds goes
      // where it was meant to go, first.
      if (t_pending.fd != fd && !t_pending.text.empty()) {
        write_to_fd(t_pending.fd, t_pending.text);
        t_pending.text.clear();
      }
      t_pending.fd = fd;
      t_pending.text += line;
      return;
    }
    write_to_python_target(line);
  } catch (const std::bad_alloc&) {
    // No memory for the line: it is dropped, the request goes on.
  }
}

TraceBatch::TraceBatch() noexcept : owner_(!t_pending.active) { t_pending.active = true; }

TraceBatch::~TraceBatch() {
  if (!owner_) return;
  flush();
  t_pending.active = false;
}

void TraceBatch::flush() noexcept {
  // Also inside an outer batch: a flush marks a point (a transfer starting)
  // before which the lines must be out.
  if (t_pending.text.empty()) return;
  write_to_fd(t_pending.fd, t_pending.text);
  t_pending.text.clear();
}

PyObject* take_trace_interrupt() noexcept {
  PyObject* kept = t_interrupt;
  t_interrupt = nullptr;
  return kept;
}

bool raise_trace_interrupt() noexcept {
  PyObject* kept = take_trace_interrupt();
  if (kept == nullptr) return false;
  PyErr_SetRaisedException(kept);  // steals 'kept'
  return true;
}

PyObject* end_of_traced_call(PyObject* result) noexcept {
  PyObject* kept = take_trace_interrupt();
  if (kept == nullptr) return result;
  Py_XDECREF(result);
  PyObject* current = PyErr_GetRaisedException();
  if (current != nullptr && !PyErr_GivenExceptionMatches(current, PyExc_Exception)) {
    // Already ending by an interrupt of its own (a signal during a transfer).
    Py_DECREF(kept);
    PyErr_SetRaisedException(current);
    return nullptr;
  }
  if (current != nullptr) PyException_SetContext(kept, current);  // steals 'current'
  PyErr_SetRaisedException(kept);
  return nullptr;
}

TraceTarget current_trace_target(PyObject** object) {
  const TraceTarget target = g_target.load(std::memory_order_relaxed);
  *object = target == TraceTarget::kObject || target == TraceTarget::kCallable
                ? Py_NewRef(g_target_object)
                : nullptr;
  return target;
}

void set_trace_target(TraceTarget target, PyObject* object) {
  PyObject* old = g_target_object;
  g_target_object = Py_XNewRef(object);
  g_target.store(target, std::memory_order_relaxed);
  Py_XDECREF(old);  // last: its finaliser may run code that traces
}

}  // namespace nuv
