#include "transport/retry_policy.h"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>

#include "transport/interruption.h"
#include "transport/rate_limiter.h"
#include "transport/trace.h"

namespace nuv {

namespace {

constexpr double kFirstBackoffSeconds = 0.5;
constexpr double kMaxBackoffSeconds = 8.0;

thread_local bool t_interrupted = false;
thread_local unsigned long t_attempts = 0;

HttpResult interrupted_result() {
  HttpResult result{-1, "interrupted"};
  result.interrupted = true;
  t_interrupted = true;
  return result;
}

// Jitter only: no secret depends on it. Reseeded in a forked child so parent
// and child do not retry in step.
double unit_random() {
  thread_local std::minstd_rand generator;
  thread_local pid_t seeded_for = 0;
  if (seeded_for != getpid()) {
    seeded_for = getpid();
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    generator.seed(static_cast<std::minstd_rand::result_type>(now ^ (seeded_for << 16)));
  }
  return std::uniform_real_distribution<double>(0.0, 1.0)(generator);
}

// libcurl counts in whole milliseconds, and 0 means no timeout at all: a
// timeout under half a millisecond is one millisecond, never none.
long milliseconds(double seconds) { return std::max(1L, std::lround(seconds * 1000.0)); }

// "503", or the libcurl code and its text.
std::string describe(const HttpResult& result) {
  if (result.answered || result.status < 0) return std::to_string(result.status);
  return std::to_string(result.status) + " (" +
         curl_easy_strerror(static_cast<CURLcode>(result.status)) + ")";
}

bool is_server_error(int status) {
  return status == 500 || status == 502 || status == 503 || status == 504 ||
         (status >= 520 && status <= 527);
}

}  // namespace

Failure classify_failure(const HttpResult& result) {
  if (result.answered) {
    if (result.status == 429) return Failure::kTooManyRequests;
    if (is_server_error(result.status)) return Failure::kServerError;
    return Failure::kNone;
  }
  switch (result.status) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SSL_CONNECT_ERROR:  // a certificate that fails verification is 60, final
      return result.request_started ? Failure::kFinal : Failure::kNeverReached;
    case CURLE_OPERATION_TIMEDOUT:
      return result.request_started ? Failure::kAnswerLost : Failure::kNeverReached;
    // On HTTP/2, a reused connection the server closes as the request starts
    // fails with 16 before any answer byte; like every lost answer, it is
    // retried for idempotent requests only.
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      return result.request_started ? Failure::kAnswerLost : Failure::kFinal;
    default:
      return Failure::kFinal;
  }
}

bool may_retry(RequestKind kind, Failure failure) {
  const bool idempotent = kind == RequestKind::kRead || kind == RequestKind::kIdempotentWrite ||
                          kind == RequestKind::kDelete;
  switch (failure) {
    case Failure::kNeverReached:
      return true;
    case Failure::kTooManyRequests:
      // A robot answers throttling in its own words (see ServiceLimits); a
      // 429 on the way to it is left to the caller, like every doubt about
      // a message.
      return kind != RequestKind::kMessageSend;
    case Failure::kServerError:
    case Failure::kAnswerLost:
      return idempotent;
    case Failure::kNone:
    case Failure::kFinal:
      return false;
  }
  return false;
}

double backoff_seconds(int retry, double unit) {
  const double cap =
      std::min(kMaxBackoffSeconds, kFirstBackoffSeconds * std::ldexp(1.0, retry - 1));
  return cap * unit;
}

std::optional<double> parse_retry_after(std::string_view value, std::time_t now) {
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  if (value.empty()) return std::nullopt;
  if (value.find_first_not_of("0123456789") == std::string_view::npos) {
    double seconds = 0;
    for (char c : value) seconds = seconds * 10 + (c - '0');  // inf at worst, never UB
    return std::min(seconds, kLongestRetryAfterSeconds);
  }
  const std::string text(value);
  const std::time_t when = curl_getdate(text.c_str(), nullptr);
  if (when == -1) return std::nullopt;
  const double seconds = when > now ? static_cast<double>(when) - static_cast<double>(now) : 0.0;
  return std::min(seconds, kLongestRetryAfterSeconds);
}

bool last_send_interrupted() { return t_interrupted; }

unsigned long attempts_sent_by_thread() { return t_attempts; }

HttpResult send_with_policy(RequestKind kind, const RequestText& request,
                            const RequestSettings& settings, const ServiceLimits& limits) {
  t_interrupted = false;
  TransferOptions options;
  options.timeout_ms = milliseconds(settings.timeout);
  options.connect_timeout_ms = milliseconds(settings.connect_timeout);
  // libcurl re-sends by itself a request whose reused connection died before
  // any answer byte. Harmless for reads and idempotent writes; a create or a
  // message could be doubled, and a delete's 404 after its first attempt
  // went through would read as a failure: those go on a connection of their
  // own, where every retry is the policy's.
  options.fresh_connection = kind == RequestKind::kCreate || kind == RequestKind::kMessageSend ||
                             kind == RequestKind::kDelete;
  options.interruptible = request.interruptible;
  options.follow_redirects = request.follow_redirects;
  options.max_response_bytes = request.max_response_bytes;
  // An admitted request's waits may be long: a signal ends them even when
  // the transfer itself must not be cut.
  const bool waits_interruptible = request.interruptible || request.admitted;
  const double max_wait = request.admitted ? kMaxAdmittedWaitSeconds : kMaxRetryAfterSeconds;
  options.shown_url = request.shown_url;
  const bool limited = settings.rate_limit > 0;
  const RateKey key = limited ? rate_key(limits.token, limits.window_seconds) : RateKey{};
  // An earlier attempt may have done the work although its answer says
  // otherwise or never came.
  bool maybe_done_before = false;

  for (int attempt = 0;; ++attempt) {
    // A signal that arrived between two requests of one call, or cut a trace
    // line short, stops the call before the next request goes out.
    if (request.interruptible && (PyErr_CheckSignals() < 0 || raise_trace_interrupt())) {
      return interrupted_result();
    }
    RateSlot slot;
    if (limited) {
      HttpResult refused;
      switch (
          acquire_rate_slot(key, settings.rate_limit, slot, refused, waits_interruptible,
                            request.admitted ? kMaxAdmittedWaitSeconds : kMaxWaitedPauseSeconds)) {
        case SlotGrant::kGranted:
          break;
        case SlotGrant::kRefused:
          return refused;
        case SlotGrant::kInterrupted:
          return interrupted_result();
      }
    }
    ++t_attempts;
    HttpResult result = http_request(request.method, request.url, request.headers, request.body,
                                     request.proxy, options);
    if (result.interrupted) {
      t_interrupted = true;
      return result;
    }
    const Failure failure = classify_failure(result);
    const char* throttled =
        limits.throttled != nullptr && result.answered ? limits.throttled(result) : nullptr;
    std::optional<double> retry_after;
    if (!result.retry_after.empty()) {
      retry_after = parse_retry_after(result.retry_after, std::time(nullptr));
    }
    double pause = 0;
    if (throttled != nullptr) {
      pause = limits.throttle_seconds;
    } else if (failure == Failure::kTooManyRequests && retry_after) {
      pause = *retry_after;
    }
    slot.finish(pause * wait_scale(), &result);

    if (throttled != nullptr) {
      trace("no retry: %s; sends with this token paused for %.0f s\n", throttled,
            limits.throttle_seconds);
      return result;
    }
    if (kind == RequestKind::kDelete && maybe_done_before && result.answered &&
        result.status == 404) {
      trace("delete answered 404 after an attempt whose answer was lost: already gone\n");
      result.already_gone = true;
      return result;
    }
    if (failure == Failure::kAnswerLost || failure == Failure::kServerError) {
      maybe_done_before = true;
    }
    if (!may_retry(kind, failure) || attempt >= settings.retries) return result;

    double wait;
    if (retry_after && (failure == Failure::kTooManyRequests || failure == Failure::kServerError)) {
      if (*retry_after > max_wait) {
        trace("no retry: Retry-After %.0f s is more than %.0f s: %s\n", *retry_after, max_wait,
              describe(result).c_str());
        return result;
      }
      // Also the token's pause, which this wait outlasts.
      wait = *retry_after;
    } else {
      wait = backoff_seconds(attempt + 1, unit_random());
    }
    wait *= wait_scale();
    trace("retry %d/%d in %.1f s: %s\n", attempt + 1, settings.retries, wait,
          describe(result).c_str());
    if (!interruptible_wait(wait, waits_interruptible)) return interrupted_result();
  }
}

}  // namespace nuv
