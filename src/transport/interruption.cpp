#include "transport/interruption.h"

#include <time.h>
#include <unistd.h>

#include <atomic>

#include "common/gil.h"
#include "common/py_ref.h"
#include "transport/child_processes.h"
#include "transport/trace.h"

namespace nuv {

namespace {

using Clock = std::chrono::steady_clock;

// A transfer moving data calls its progress callback for every chunk; taking
// the interpreter lock that often would slow it when other threads want the
// lock. A check is skipped when the last one is this recent.
constexpr auto kCheckInterval = std::chrono::milliseconds(25);

// A wait sleeps in slices this long at most, so a signal arriving just
// before a slice began is acted on soon after.
constexpr double kWaitSliceSeconds = 0.05;

std::atomic<double> g_wait_scale{1.0};

}  // namespace

bool in_main_thread() { return nuv_in_main_thread(); }

extern "C" int abort_on_signal(void* data, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* watch = static_cast<SignalWatch*>(data);
  if (!watch->main_thread) return 0;
  const Clock::time_point now = Clock::now();
  if (now - watch->last_check < kCheckInterval) return 0;
  watch->last_check = now;
  // A fork in another thread holds the interpreter lock while it waits for
  // the library gate: let the gate go before asking for the lock.
  LibraryGateReleased gate_released;
  const PyGILState_STATE state = PyGILState_Ensure();
  // A handler that raised leaves its exception set for the caller.
  watch->raised = PyErr_CheckSignals() < 0;
  PyGILState_Release(state);
  return watch->raised ? 1 : 0;
}

double wait_scale() { return g_wait_scale.load(std::memory_order_relaxed); }

void set_wait_scale(double scale) { g_wait_scale.store(scale, std::memory_order_relaxed); }

bool interruptible_wait(double seconds, bool interruptible) {
  {
    // The line that announced this wait goes out before it, not after.
    TraceBatch pending;
    pending.flush();
  }
  const Clock::time_point deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(seconds > 0 ? seconds : 0));
  for (;;) {
    if (interruptible && (PyErr_CheckSignals() < 0 || raise_trace_interrupt())) return false;
    const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
    if (left <= 0) return true;
    const double slice = left < kWaitSliceSeconds ? left : kWaitSliceSeconds;
    timespec pause{0, static_cast<long>(slice * 1e9)};
    GilRelease unlocked;
    // A signal delivered to this thread ends the sleep early (EINTR).
    nanosleep(&pause, nullptr);
  }
}

}  // namespace nuv
