// How hard one client tries: the retries, timeouts and rate limit a
// Cloudflare or DingTalk object carries and hands to every request of a call.
// Plain values, read once at the start of a call like the credentials.
#pragma once

namespace nuv {

struct RequestSettings {
  // Extra attempts after the first, for what may safely be sent again.
  int retries = 2;
  // Bound of one attempt, and of its connection phase, in seconds.
  double timeout = 30.0;
  double connect_timeout = 10.0;
  // Requests per window and per token (0: no limiter). The window is the
  // service's: 300 s for a Cloudflare token, 60 s for a DingTalk robot.
  long rate_limit = 0;
};

inline constexpr int kMaxRetries = 100;
// A day: longer than any request should ever take, and far from the range
// where milliseconds would overflow libcurl's long.
inline constexpr double kMaxTimeoutSeconds = 86400.0;
inline constexpr long kMaxRateLimit = 1000000;

inline constexpr long kCloudflareRateLimit = 1200;
inline constexpr double kCloudflareWindowSeconds = 300.0;
inline constexpr long kDingTalkRateLimit = 20;
inline constexpr double kDingTalkWindowSeconds = 60.0;

}  // namespace nuv
