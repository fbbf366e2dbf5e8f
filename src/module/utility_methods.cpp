#include "module/utility_methods.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "common/gil.h"
#include "common/guard.h"
#include "transport/interruption.h"

namespace nuv {

namespace {

// Beyond this the plain recursion would run for longer than the universe
// has existed; refuse instead of hanging the caller.
constexpr uint32_t kFibMaxArgument = 10000;
// The run goes without the interpreter lock, taking it back after this many
// steps (a few milliseconds) to look for Ctrl-C (and other signals).
constexpr uint64_t kFibStepsBetweenChecks = uint64_t{1} << 12;
// Calls of F(m) for m below this run as a plain native recursion, one step
// of the run: at most this deep on the thread's stack (a few hundred bytes),
// about 30 µs each, and most of the calls of the whole tree (its leaves) go
// through them without touching the heap.
constexpr uint32_t kFibNativeBelow = 20;

uint32_t fib_native(uint32_t m) { return m < 2 ? m : fib_native(m - 2) + fib_native(m - 1); }

// F(n) modulo 2^32, following the plain recursion on the definition call for
// call, but on a stack of its own on the heap: a deep n cannot overflow a
// small thread stack.
class FibRun {
 public:
  explicit FibRun(uint32_t n) {
    stack_.reserve(size_t{n} + 1);  // the depth never exceeds n + 1
    call(n);
  }

  // Carries on for about `steps` calls; true once the result is known.
  bool advance(uint64_t steps) {
    for (uint64_t done = 0; done < steps && !stack_.empty(); ++done) {
      Frame& frame = stack_.back();
      switch (frame.step) {
        case Step::kTwoBack:
          frame.step = Step::kOneBack;
          call(frame.n - 2);
          break;
        case Step::kOneBack:
          frame.two_back = returned_;
          frame.step = Step::kSum;
          call(frame.n - 1);
          break;
        case Step::kSum:
          returned_ += frame.two_back;
          stack_.pop_back();
          break;
      }
    }
    return stack_.empty();
  }

  uint32_t result() const { return returned_; }

 private:
  enum class Step : uint8_t { kTwoBack, kOneBack, kSum };
  // A call of the recursion under way: what it waits for next, and F(n - 2)
  // once known.
  struct Frame {
    uint32_t n;
    uint32_t two_back;
    Step step;
  };

  // Starts F(m); small subtrees return at once. The stack never grows
  // beyond its reserve, so a reference to a frame stays valid across a call.
  void call(uint32_t m) {
    if (m < kFibNativeBelow) {
      returned_ = fib_native(m);
    } else {
      stack_.push_back({m, 0, Step::kTwoBack});
    }
  }

  std::vector<Frame> stack_;
  uint32_t returned_ = 0;
};

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
  return guarded([&]() -> PyObject* {
    FibRun run(n);
    // Only the main thread runs signal handlers: elsewhere the lock is not
    // taken back before the end, so a daemon thread still at work when the
    // interpreter exits never asks for it during finalization.
    const uint64_t steps = in_main_thread() ? kFibStepsBetweenChecks : UINT64_MAX;
    for (;;) {
      bool finished;
      {
        GilRelease unlocked;
        finished = run.advance(steps);
      }
      if (finished) return PyLong_FromUnsignedLong(run.result());
      // A handler that raised (KeyboardInterrupt) leaves its exception set.
      if (PyErr_CheckSignals() < 0) return nullptr;
    }
  });
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
