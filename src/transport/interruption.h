// Signals during waits: a Python signal handler that raises (Ctrl-C's
// KeyboardInterrupt, or any other) ends a transfer or a wait at once instead
// of when it is over. Handlers run only in the main thread, so only there is
// anything checked.
#pragma once

#include <curl/curl.h>
#include "common/python_compat.h"

#include <chrono>

namespace nuv {

// What a transfer's progress callback needs; set up with the interpreter
// lock held, before the transfer.
struct SignalWatch {
  bool main_thread = false;
  bool raised = false;
  std::chrono::steady_clock::time_point last_check{};
};

// Whether the calling thread is the interpreter's main thread. Must be
// called with the interpreter lock held.
bool in_main_thread();

// CURLOPT_XFERINFOFUNCTION with a SignalWatch as data: runs pending signal
// handlers with the interpreter lock briefly taken and aborts the transfer
// (CURLE_ABORTED_BY_CALLBACK) when one raised, leaving its exception set.
// libcurl calls it after every wake-up; a signal wakes the main thread from
// its poll, so the check follows the signal closely.
extern "C" int abort_on_signal(void* watch, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

// Multiplies every wait (backoff, Retry-After, rate limit windows and pauses)
// by `scale`; 1 unless a test scales time down.
double wait_scale();
void set_wait_scale(double scale);

// Sleeps `seconds` (already scaled) without the interpreter lock, running
// pending signal handlers as they arrive (unless `interruptible` is false).
// Must be called with the lock held. On a handler that raised, return false
// with its exception set.
bool interruptible_wait(double seconds, bool interruptible = true);

}  // namespace nuv
