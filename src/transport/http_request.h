// The one HTTP(S) executor of the module: the only code that touches libcurl
// for transfers. Transport failures come back as values, never exceptions.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nuv {

struct HttpResult {
  HttpResult() = default;
  HttpResult(int status_, std::string body_) : status(status_), body(std::move(body_)) {}

  // HTTP status when the exchange completed, the libcurl result code when
  // the transfer failed, -1 when no transfer could be set up.
  int status = -1;
  // The response body up to its first zero byte, or the error text.
  std::string body;
  // The exchange completed: `status` is the service's.
  bool answered = false;
  // libcurl had begun sending the request when the transfer failed: the
  // service may have received it. False only when the failure came earlier
  // (resolving, connecting, the proxy tunnel, the TLS handshake).
  bool request_started = false;
  // The answer's Retry-After header as sent (429 and 503 only), else empty.
  std::string retry_after;
  // The answer's Ratelimit and Ratelimit-Policy headers as sent, else empty:
  // the service's own count of what the token may still send.
  std::string ratelimit;
  std::string ratelimit_policy;
  // A Python signal handler raised during the transfer, which was abandoned;
  // the exception is set.
  bool interrupted = false;
  // A DELETE whose earlier attempt's answer was lost was answered 404: the
  // record is gone, most likely by that earlier attempt.
  bool already_gone = false;
  // When the transfer failed: libcurl's detailed message (CURLOPT_ERRORBUFFER:
  // which certificate check failed, the proxy's answer, the host that could
  // not be resolved), and the CA file or directory that was in force.
  std::string detail{};
  std::string ca_source{};
  // A 3xx answer of a transfer that does not follow redirects: the absolute
  // URL its Location names, resolved against the request's, else empty.
  std::string redirect_url{};
  // The body outgrew TransferOptions::max_response_bytes (status 23).
  bool too_large = false;
  // The body held a zero byte, where `body` ends.
  bool cut_at_nul = false;
};

// Where a request's proxy comes from.
enum class ProxySource {
  // The caller's proxy text; "" connects directly.
  kCaller,
  // curl's variables for the URL's scheme (Cloudflare(proxy=None), and
  // DingTalk unless given a proxy).
  kEnvironment,
};

struct ProxyChoice {
  ProxySource source = ProxySource::kEnvironment;
  std::string text;  // the caller's proxy (kCaller only)
};

// Bodies above this size are refused (libcurl's write error, 23).
inline constexpr size_t kMaxResponseBytes = 64u * 1024u * 1024u;

// How one transfer is carried out (the defaults are the documented ones).
struct TransferOptions {
  long timeout_ms = 30000;
  long connect_timeout_ms = 10000;
  // Never on a connection used before. On a reused connection that died
  // before any answer byte, libcurl sends the request again by itself; a
  // request that must not be sent twice unseen pays for a connection (a TLS
  // resumption) of its own.
  bool fresh_connection = false;
  // In the main thread, end the transfer when a signal handler raises.
  bool interruptible = true;
  // Off: a 3xx is the answer, with `redirect_url` set, so that a caller can
  // decide each hop itself (its scheme, its proxy).
  bool follow_redirects = true;
  size_t max_response_bytes = kMaxResponseBytes;
  // The URL as the trace shows it, for a URL whose path is itself a secret
  // (a heartbeat's); empty: the URL with its known secrets masked.
  std::string_view shown_url{};
};

// Carries out one request. Must be called with the interpreter lock held; it
// releases the lock around the transfer and holds none of its own state.
// `method` in any letter case; `request_body` is sent only for methods that
// carry one (an empty body when null). The proxy is decided here, before
// the transfer, and traced: libcurl reads no proxy variable of its own, and
// a host in no_proxy/NO_PROXY connects directly whichever proxy was named.
// In the main thread, a signal handler that raises ends the transfer within
// a fraction of a second (`interrupted`, exception set).
HttpResult http_request(std::string_view method, const std::string& url,
                        const std::vector<std::string>& headers, const std::string* request_body,
                        const ProxyChoice& proxy, const TransferOptions& options = {});

}  // namespace nuv
