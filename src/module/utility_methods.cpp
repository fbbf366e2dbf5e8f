#include "module/utility_methods.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "common/gil.h"

namespace nuv {

namespace {

// Beyond this the plain recursion would run for longer than the universe
// has existed; refuse instead of hanging the caller.
constexpr uint32_t kFibMaxArgument = 10000;
// Look for Ctrl-C (and other signals) every 2^22 calls: a few milliseconds.
constexpr uint64_t kFibSignalCheckMask = (uint64_t{1} << 22) - 1;

struct FibRun {
  uint64_t calls = 0;
  bool interrupted = false;
};

// F(n) modulo 2^32 by plain recursion on the definition.
uint32_t fib_recursive(uint32_t n, FibRun& run) {
  if (run.interrupted) return 0;
  if ((++run.calls & kFibSignalCheckMask) == 0 && PyErr_CheckSignals() < 0) {
    run.interrupted = true;
    return 0;
  }
  if (n < 2) return n;
  const uint32_t two_back = fib_recursive(n - 2, run);
  return two_back + fib_recursive(n - 1, run);
}

}  // namespace

PyObject* Cloudflare_fib(PyObject* /*self*/, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"n", nullptr};
  unsigned long raw = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "k:fib", const_cast<char**>(keywords), &raw)) {
    return nullptr;
  }
  const auto n = static_cast<uint32_t>(raw);  // the argument is taken modulo 2^32
  if (n > kFibMaxArgument) {
    return PyErr_Format(PyExc_ValueError,
                        "fib(%lu) would not finish: n (taken modulo 2**32) must be at most %lu",
                        static_cast<unsigned long>(n), static_cast<unsigned long>(kFibMaxArgument));
  }
  FibRun run;
  const uint32_t result = fib_recursive(n, run);
  if (run.interrupted) return nullptr;
  return PyLong_FromUnsignedLong(result);
}

PyObject* Cloudflare_fputs(PyObject* /*self*/, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"filename", "text", nullptr};
  const char* filename = nullptr;
  const char* text = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ss:fputs", const_cast<char**>(keywords),
                                   &filename, &text)) {
    return nullptr;
  }
  // Opening and writing can block (a FIFO waits for its reader, which may
  // be a thread of this process): without the interpreter lock. The two
  // texts stay alive in `args` meanwhile.
  std::FILE* file = nullptr;
  int open_errno = 0;
  bool written = false;
  bool closed = false;
  {
    GilRelease unlocked;
    file = std::fopen(filename, "w+");
    open_errno = errno;
    if (file != nullptr) {
      written = std::fputs(text, file) != EOF;
      // A write that fails only when the buffer is flushed (a full disk)
      // shows up at close; it is a failed write all the same.
      closed = std::fclose(file) == 0;
    }
  }
  if (file == nullptr) {
    errno = open_errno;
    return PyErr_SetFromErrnoWithFilename(PyExc_OSError, filename);
  }
  return PyLong_FromLong(written && closed ? 0 : -1);
}

}  // namespace nuv
