// The services' rate limits kept by the whole process: per token, a sliding
// window of at most `limit` requests, shared by every object and thread that
// uses the token, and a pause when the service said to wait (a 429's
// Retry-After, a throttled robot). A forked child starts with no history.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string_view>

#include "transport/http_request.h"

namespace nuv {

// Which window a request counts in. The token itself is not kept: only its
// hash, so the limiter holds no secret.
struct RateKey {
  size_t token_hash = 0;
  double window_seconds = 0;  // the service's window, unscaled
  bool operator==(const RateKey&) const = default;
};

RateKey rate_key(std::string_view token, double window_seconds);

struct TokenWindow;

enum class SlotGrant {
  kGranted,      // send; `slot` holds the place
  kRefused,      // the token is paused beyond what is worth waiting: `refused` is the answer
  kInterrupted,  // a signal handler raised during the wait; its exception is set
};

// A request counted in its token's window from the moment it may go until W
// after its answer: the service, which counts it somewhere in between, can
// then never see more than `limit` in any W. Finished (or, when dropped,
// finished without a pause) exactly once.
class RateSlot {
 public:
  RateSlot() = default;
  RateSlot(const RateSlot&) = delete;
  RateSlot& operator=(const RateSlot&) = delete;
  ~RateSlot() { finish(0, nullptr); }

  // The answer came (or the attempt ended). With `pause_seconds` > 0 the
  // token sends nothing more for that long, and a call refused meanwhile
  // gets `answer` (the pausing answer) instead.
  void finish(double pause_seconds, const HttpResult* answer);

 private:
  friend SlotGrant acquire_rate_slot(const RateKey&, long, RateSlot&, HttpResult&, bool, double);
  TokenWindow* window_ = nullptr;
  pid_t pid_ = 0;
  unsigned long generation_ = 0;
};

// A pause longer than this is not waited for; see also the retry policy.
inline constexpr double kMaxWaitedPauseSeconds = 60.0;

// Waits (interpreter lock released, interruptible, traced once) until the
// token may send; a pause with more than `max_pause_seconds` (unscaled)
// left is not waited for. Must be called with the interpreter lock held.
SlotGrant acquire_rate_slot(const RateKey& key, long limit, RateSlot& slot, HttpResult& refused,
                            bool interruptible = true,
                            double max_pause_seconds = kMaxWaitedPauseSeconds);

// Forgets every token's history and pause, as a forked child does (tests
// use it to start each case afresh). Slots held meanwhile finish harmlessly.
void forget_rate_history();

}  // namespace nuv
