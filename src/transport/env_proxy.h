// The proxy that curl's environment variables name for a URL, resolved here
// rather than inside libcurl so that the trace can say which one a request
// uses, and from which variable.
#pragma once

#include <string>
#include <string_view>

namespace nuv {

// The scheme (lower case, "https" when there is none) and the host of a
// URL, as far as a proxy decision needs them.
struct UrlTarget {
  std::string scheme;
  std::string host;
};
UrlTarget url_target(std::string_view url);

struct EnvironmentProxy {
  // The proxy named; empty: connect directly.
  std::string proxy;
  // The variable that named it ("https_proxy", "ALL_PROXY", ...); empty
  // when none is set.
  std::string_view variable;
};

// curl's rules: "<scheme>_proxy" then its upper-case name (for http only
// the lower-case http_proxy, as upper-case HTTP_PROXY may come from a CGI
// request header), then all_proxy, then ALL_PROXY; the first variable set
// wins, an empty one meaning no proxy. no_proxy is left to the caller.
// Reads the environment: call with the interpreter lock held, so that
// os.environ cannot change meanwhile.
EnvironmentProxy environment_proxy(const UrlTarget& target);

// The no_proxy list (no_proxy, else NO_PROXY) or nullptr when neither is
// set; `name` receives the variable's name.
const char* no_proxy_variable(std::string_view& name);

// Whether a no_proxy list excludes `host` (a name, an IPv4 address, or an
// IPv6 address with or without brackets): "*" excludes every host; entries
// separated by commas (and blanks) match the host itself or, for names, any
// name below it (a leading dot is ignored); address entries may carry a
// "/bits" prefix length.
bool no_proxy_matches(std::string_view host, std::string_view no_proxy);

}  // namespace nuv
