// This host's address as a source tells it: a page (url:), an interface
// (iface:), a given address (static:) or none. Pages are read over the
// library's own transport (its proxy rules, CA rules, timeouts, retries and
// trace), and every address passes the sanity gate (address_gate.h).
#pragma once

#include <string>
#include <string_view>

#include "common/request_settings.h"
#include "transport/http_request.h"

namespace nuv {

enum class SourceKind { kUrl, kInterface, kStatic, kNone };

struct AddressSource {
  SourceKind kind = SourceKind::kNone;
  std::string value;  // the URL, interface name or address
};

// "url:http(s)://...", "iface:NAME", "static:ADDRESS" or "none". On a text
// that is none of them, return false with `why` set.
bool parse_address_source(std::string_view text, AddressSource& source, std::string& why);

struct AddressLookupOptions {
  RequestSettings request;  // retries, timeout, connect_timeout; no rate limit
  ProxyChoice proxy;
  bool allow_private = false;
};

enum class LookupOutcome {
  kAddress,      // `address` holds it
  kNoAddress,    // the source was read and has no address of the family
  kUnreadable,   // the source could not be read: `why`, `http_status`, `curl_code`
  kRefused,      // what it answered is not a publishable address: `why`, `address`
  kInterrupted,  // a signal handler raised; its exception is set
};

struct AddressLookup {
  LookupOutcome outcome = LookupOutcome::kUnreadable;
  // kAddress: the address; kRefused: what was judged, as printable text.
  std::string address;
  // kUnreadable and kRefused: one line, without the source's name.
  std::string why;
  int http_status = 0;  // the last answer's status, 0 when none came
  int curl_code = 0;    // libcurl's code when the transfer failed, else 0
};

// Pages above this size are not address pages.
inline constexpr size_t kMaxAddressPageBytes = 64 * 1024;
// Redirects followed, each decided here: its scheme, its proxy.
inline constexpr int kMaxAddressRedirects = 3;

// `family` is 4 or 6. Must be called with the interpreter lock held; it is
// released around every wait.
AddressLookup lookup_address(const AddressSource& source, int family,
                             const AddressLookupOptions& options);

}  // namespace nuv
