// Texts that become part of an exception message, a note, a repr or a
// response's detail: every credential of the call is masked in them the way
// the trace masks it, so an error page that echoes the request headers
// cannot put the token into a traceback or a log.
#pragma once

#include <string>
#include <string_view>

namespace nuv {

// The credentials one call sent.
struct Secrets {
  std::string_view token;
  std::string_view proxy;
};

// `text` with every whole occurrence of the token (not inside a longer run
// of token characters), the value after every "Bearer " and the proxy text
// masked (mask_secret / mask_proxy).
std::string redact(std::string_view text, const Secrets& secrets);

}  // namespace nuv
