// The service's own count of what a token may still send, from its answers'
// structured-field headers (Ratelimit: "default";r=50;t=30, and
// Ratelimit-Policy: "burst";q=100;w=60). The process-wide limiter counts
// only this process's requests; a call of many requests also paces itself by
// what the service says is left, so another process or the dashboard using
// the same token cannot push it into a 429.
#pragma once

#include <optional>
#include <string_view>

#include "transport/http_request.h"

namespace nuv {

struct ServiceQuota {
  std::optional<long> remaining;   // r: requests left in the window
  std::optional<double> reset_in;  // t: seconds until the window resets
  std::optional<double> window;    // w of the policy: the window's length
};

// Reads the two headers (empty: absent). Items other than r, t, q and w, and
// values that are not numbers, are ignored. Pure.
ServiceQuota read_service_quota(std::string_view ratelimit, std::string_view policy);

// Seconds to wait before the next request after `answer`: when the service
// says nothing is left, until its window resets (t, else the policy's w),
// at most `max_seconds`. nullopt: go on at once. Pure.
std::optional<double> quota_wait(const HttpResult& answer, double max_seconds);

// Waits as quota_wait says (traced, scaled like every wait, interpreter
// lock released). Must be called with the lock held. On a signal handler
// that raised, return false with its exception set.
bool pace_by_service_quota(const HttpResult& answer, double max_seconds, bool interruptible = true);

}  // namespace nuv
