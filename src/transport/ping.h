// Heartbeats: one GET (or a POST of a short text) to a monitoring service's
// ping URL (healthchecks.io and its /start and /fail, Uptime Kuma's push
// URL) over the library's transport: its proxy and CA rules, timeouts,
// retries and trace. A ping URL is a credential of its own (whoever holds it
// reports for the job), so the trace shows it masked.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/request_settings.h"
#include "transport/http_request.h"

namespace nuv {

struct PingOptions {
  RequestSettings request;  // retries, timeout, connect_timeout; no rate limit
  ProxyChoice proxy;
};

enum class PingOutcome {
  kSent,         // answered 2xx: `http_status`
  kFailed,       // `why`, `http_status` (0 when none came), `curl_code` (0 when answered)
  kInterrupted,  // a signal handler raised; its exception is set
};

struct PingResult {
  PingOutcome outcome = PingOutcome::kFailed;
  int http_status = 0;
  int curl_code = 0;
  std::string why;  // one line
};

// A monitoring service keeps this much of a ping's text (healthchecks.io:
// 10 KB); a longer one is cut at a character boundary.
inline constexpr size_t kMaxPingMessageBytes = 10 * 1024;
// A ping's answer is a word or a small JSON object.
inline constexpr size_t kMaxPingAnswerBytes = 64 * 1024;

// Whether `url` starts with http:// or https:// (in any letter case) and
// holds no NUL or blank.
bool is_ping_url(std::string_view url);

// The URL as traces and messages show it: scheme and host, the user
// information masked, and of the path and query only the last bytes
// (mask_secret), enough to tell /start from /fail.
std::string mask_ping_url(std::string_view url);

// What a heartbeat says of the job it reports on.
enum class HeartbeatEvent { kNone, kStart, kSuccess, kFail };

struct HeartbeatRequest {
  std::string url;
  bool post = false;  // the message goes as the body
  bool send = true;   // false: the service has no such event (an Uptime Kuma start)
};

// The request that reports `event` to the check at `url`, pure. An Uptime
// Kuma push URL (its path holds "/api/push/") says it in its query
// (status=up, or down for a failure, and msg=: the message, else "OK"; its
// other parameters kept); any other URL is a healthchecks.io-style check:
// /start and /fail after its path, the message as a POST body. kNone: the
// URL as given, the message (if any) posted.
HeartbeatRequest heartbeat_request(std::string_view url, HeartbeatEvent event, bool has_message,
                                   std::string_view message);

// Sends one ping: GET without `message`, else POST of it as text/plain.
// Redirects are not followed (a 3xx is a failure naming it). Must be called
// with the interpreter lock held; it is released around every wait.
PingResult send_ping(const std::string& url, const std::string* message,
                     const PingOptions& options);

}  // namespace nuv
