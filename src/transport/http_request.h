// The one HTTP(S) executor of the module: the only code that touches libcurl
// for transfers. Transport failures come back as values, never exceptions.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace nuv {

struct HttpResult {
  // HTTP status when the exchange completed, the libcurl result code when
  // the transfer failed, -1 when no transfer could be set up.
  int status = -1;
  // The response body up to its first zero byte, or the error text.
  std::string body;
  // When the transfer failed: libcurl's detailed message (CURLOPT_ERRORBUFFER:
  // which certificate check failed, the proxy's answer, the host that could
  // not be resolved), and the CA file or directory that was in force.
  std::string detail{};
  std::string ca_source{};
};

// Where a request's proxy comes from.
enum class ProxySource {
  // The documented rule for a request without a proxy of the caller's: the
  // http_proxy variable for every URL, else curl's variables for the URL.
  kHttpProxyVariable,
  // The caller's proxy text; "" connects directly.
  kCaller,
  // curl's variables for the URL's scheme (Cloudflare(proxy=None)).
  kEnvironment,
};

struct ProxyChoice {
  ProxySource source = ProxySource::kHttpProxyVariable;
  std::string text;  // the caller's proxy (kCaller only)
};

// Bodies above this size are refused (libcurl's write error, 23).
inline constexpr size_t kMaxResponseBytes = 64u * 1024u * 1024u;

// Carries out one request. Must be called with the interpreter lock held; it
// releases the lock around the transfer and holds none of its own state.
// `method` in any letter case; `request_body` is sent only for methods that
// carry one (an empty body when null). The proxy is decided here, before
// the transfer, and traced: libcurl reads no proxy variable of its own, and
// a host in no_proxy/NO_PROXY connects directly whichever proxy was named.
HttpResult http_request(std::string_view method, const std::string& url,
                        const std::vector<std::string>& headers, const std::string* request_body,
                        const ProxyChoice& proxy);

}  // namespace nuv
