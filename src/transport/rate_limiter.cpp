#include "transport/rate_limiter.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

#include "transport/interruption.h"
#include "transport/trace.h"

namespace nuv {

using Clock = std::chrono::steady_clock;

struct TokenWindow {
  // When each counted request ended, oldest first.
  std::deque<Clock::time_point> ended;
  long in_flight = 0;
  Clock::time_point paused_until{};
  int pause_status = 0;
  std::string pause_answer;
};

namespace {

// With every place taken by requests still under way there is no known end
// to wait for: look again after this long.
constexpr double kBusyRecheckSeconds = 0.05;
constexpr double kMinRecheckSeconds = 0.001;
// Tokens seen once and long idle are forgotten when there are this many.
constexpr size_t kForgetIdleAbove = 1024;

struct RateKeyHash {
  size_t operator()(const RateKey& key) const noexcept {
    return key.token_hash ^ (std::hash<double>{}(key.window_seconds) << 1);
  }
};

using Windows = std::unordered_map<RateKey, TokenWindow, RateKeyHash>;

// The process's windows, behind one lock that is never held while waiting.
// A fork takes the lock first so the child never inherits it held; the child
// then forgets the parent's history.
std::mutex g_mutex;
Windows* g_windows = nullptr;
pid_t g_pid = 0;

void lock_before_fork() { g_mutex.lock(); }
void unlock_in_parent() { g_mutex.unlock(); }
void forget_in_child() {
  // Abandoned, not freed: a slot of the forking thread may still point in.
  g_windows = nullptr;
  g_mutex.unlock();
}

// A slot knows its history by the process and generation it was given in.
unsigned long g_generation = 0;

// Must be called with g_mutex held.
Windows& windows() {
  static const bool registered =
      pthread_atfork(lock_before_fork, unlock_in_parent, forget_in_child) == 0;
  (void)registered;
  if (g_windows == nullptr) {
    g_windows = new Windows();
    g_pid = getpid();
    ++g_generation;
  }
  return *g_windows;
}

// Saturates at a day: a longer pause is of no use to anyone, and a
// duration beyond the clock's range would be undefined.
Clock::duration seconds(double value) {
  constexpr double kLongest = 86400.0;
  const double bounded = value > 0 ? std::min(value, kLongest) : 0.0;
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(bounded));
}

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

void forget_idle(Windows& all, Clock::time_point now) {
  for (auto it = all.begin(); it != all.end();) {
    const TokenWindow& w = it->second;
    const bool idle = w.in_flight == 0 && w.paused_until <= now &&
                      (w.ended.empty() ||
                       w.ended.back() + seconds(it->first.window_seconds * wait_scale()) <= now);
    it = idle ? all.erase(it) : std::next(it);
  }
}

}  // namespace

void forget_rate_history() {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_windows = nullptr;  // abandoned like a child's: slots may still point in
}

RateKey rate_key(std::string_view token, double window_seconds) {
  return RateKey{std::hash<std::string_view>{}(token), window_seconds};
}

void RateSlot::finish(double pause_seconds, const HttpResult* answer) {
  if (window_ == nullptr) return;
  std::lock_guard<std::mutex> guard(g_mutex);
  // In a forked child, or after the history was forgotten, the window
  // belongs to an abandoned history.
  if (pid_ == getpid() && generation_ == g_generation && g_windows != nullptr) {
    TokenWindow& w = *window_;
    const Clock::time_point now = Clock::now();
    --w.in_flight;
    w.ended.push_back(now);
    if (pause_seconds > 0 && answer != nullptr && now + seconds(pause_seconds) > w.paused_until) {
      w.paused_until = now + seconds(pause_seconds);
      w.pause_status = answer->status;
      w.pause_answer = answer->body;
    }
  }
  window_ = nullptr;
}

SlotGrant acquire_rate_slot(const RateKey& key, long limit, RateSlot& slot, HttpResult& refused,
                            bool interruptible, double max_pause_seconds) {
  bool traced = false;
  for (;;) {
    double wait = 0;
    bool paused = false;
    bool refuse = false;
    {
      std::lock_guard<std::mutex> guard(g_mutex);
      Windows& all = windows();
      const Clock::time_point now = Clock::now();
      if (all.size() >= kForgetIdleAbove && all.find(key) == all.end()) forget_idle(all, now);
      TokenWindow& w = all[key];
      const double scale = wait_scale();
      if (w.paused_until > now) {
        wait = seconds_between(now, w.paused_until);
        if (wait > max_pause_seconds * scale) {
          refused = HttpResult{w.pause_status, w.pause_answer};
          refused.answered = true;
          refuse = true;
        } else {
          paused = true;
        }
      } else {
        const Clock::time_point horizon = now - seconds(key.window_seconds * scale);
        while (!w.ended.empty() && w.ended.front() <= horizon) w.ended.pop_front();
        if (static_cast<long>(w.ended.size()) + w.in_flight < limit) {
          ++w.in_flight;
          slot.window_ = &w;
          slot.pid_ = g_pid;
          slot.generation_ = g_generation;
          return SlotGrant::kGranted;
        }
        wait = w.ended.empty() ? std::max(kMinRecheckSeconds, kBusyRecheckSeconds * scale)
                               : seconds_between(horizon, w.ended.front());
      }
    }
    // Traced once the lock is let go: a trace target may run Python code.
    if (refuse) {
      trace("rate limit: not sent, the service paused this token for %.1f s more\n", wait);
      return SlotGrant::kRefused;
    }
    if (!traced) {
      traced = true;
      if (paused) {
        trace("rate limit: the service paused this token, waiting %.1f s\n", wait);
      } else {
        trace("rate limit: %ld requests in %.0f s reached, waiting %.1f s\n", limit,
              key.window_seconds, wait);
      }
    }
    if (!interruptible_wait(wait, interruptible)) return SlotGrant::kInterrupted;
  }
}

}  // namespace nuv
