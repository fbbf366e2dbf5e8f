// What may be sent again, when, and how often: the one policy every request
// goes through. Callers say what a request is; the policy decides whether a
// failure is worth another attempt, waits (backoff, Retry-After, the rate
// limiter) without the interpreter lock, and traces each retry and wait.
//
// Never a duplicate: a request that may have changed something (a create, a
// message) is sent again only when it provably never reached the service or
// the service refused it unprocessed (429; not for messages), and goes on a
// connection of its own so that libcurl cannot silently re-send it either.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/request_settings.h"
#include "transport/http_request.h"

namespace nuv {

enum class RequestKind {
  kRead,             // GET
  kIdempotentWrite,  // PUT, PATCH, a purge: twice leaves what once leaves
  kDelete,           // DELETE: idempotent; a 404 after a lost answer means done
  kCreate,           // a POST that adds something
  kMessageSend,      // a robot message
};

// The request itself, as the executor takes it.
struct RequestText {
  std::string_view method;
  const std::string& url;
  const std::vector<std::string>& headers;
  const std::string* body;
  const ProxyChoice& proxy;
  // False for a write that must not be left half done (a restore after a
  // delete): signals are then left pending until it is over.
  bool interruptible = true;
  // Part of an operation already under way (a restore after a delete): the
  // client's own pause never drops it, and it waits as long as the service
  // asks (up to kMaxAdmittedWaitSeconds), interruptibly even when the
  // transfer itself is not.
  bool admitted = false;
  // See TransferOptions.
  bool follow_redirects = true;
  size_t max_response_bytes = kMaxResponseBytes;
  std::string_view shown_url{};
};

// The service's limits for the credential a request carries.
struct ServiceLimits {
  std::string_view token;  // counted under its hash only
  double window_seconds;
  // Names the answer's way of saying the credential is throttled (beyond a
  // 429) or returns nullptr; such an answer is not retried and pauses the
  // token for `throttle_seconds`.
  const char* (*throttled)(const HttpResult& answer) = nullptr;
  double throttle_seconds = 0;
};

// Sends with retries, backoff and the rate limiter as `settings` say; the
// result is the last attempt's answer. Must be called with the interpreter
// lock held. When a signal handler raised (before an attempt, during one or
// during a wait) the result is `interrupted` with the exception set.
HttpResult send_with_policy(RequestKind kind, const RequestText& request,
                            const RequestSettings& settings, const ServiceLimits& limits);

// Attempts this thread has sent through send_with_policy, ever: a call that
// reports how many requests it made reads it before and after.
unsigned long attempts_sent_by_thread();

// Whether the last send_with_policy of this thread ended by an interrupt, so
// that callers wrapping failures leave the handler's exception as it is.
bool last_send_interrupted();

// --- the decisions, pure ---

enum class Failure {
  kNone,             // an answer not worth another attempt (2xx, 4xx, ...)
  kTooManyRequests,  // 429: refused unprocessed
  kServerError,      // 500, 502, 503, 504, 520-527: possibly processed
  kNeverReached,     // resolving, connecting, TLS handshake failed: nothing sent
  kAnswerLost,       // sent, then the connection failed or the attempt timed out
  kFinal,            // a failure another attempt would repeat (certificate, URL, ...)
};

Failure classify_failure(const HttpResult& result);
bool may_retry(RequestKind kind, Failure failure);

// The wait before retry `retry` (1 for the first): full jitter over an
// exponential from 0.5 s, doubled each time, capped at 8 s. `unit` in [0, 1).
double backoff_seconds(int retry, double unit);

// A Retry-After beyond this (a server's fault: 10^20 seconds, a date in year
// 9999) counts as this: the wait stays a number every clock can add.
inline constexpr double kLongestRetryAfterSeconds = 86400.0;

// Seconds to wait from a Retry-After value (delta-seconds or an HTTP date,
// against `now`), at most kLongestRetryAfterSeconds; nullopt when it is
// neither.
std::optional<double> parse_retry_after(std::string_view value, std::time_t now);

inline constexpr double kMaxRetryAfterSeconds = 60.0;
// What an admitted request waits at most, for one pause or one Retry-After:
// well beyond the service's 5-minute block, short of a wait nobody sees end.
inline constexpr double kMaxAdmittedWaitSeconds = 900.0;

}  // namespace nuv
