// How the reconciliation and the zone lookup decide that two DNS texts name
// the same thing. The service stores names and targets in lower case,
// without the trailing dot, in punycode, and IPv6 addresses compressed; a
// caller may write them any way. Only comparisons use these forms: what is
// sent stays what the caller gave.
#pragma once

#include <string>
#include <string_view>

namespace nuv {

// A name or target in the form the service stores: ASCII letters in lower
// case, one trailing dot removed, non-ASCII labels in punycode (IDNA 2008
// with the UTS #46 mapping, as browsers and resolvers do). A text that is
// not a valid internationalised name keeps its bytes (lower-cased ASCII).
std::string dns_name_key(std::string_view name);

// Whether two names (or CNAME/MX targets) are the same once in that form.
bool same_dns_name(std::string_view a, std::string_view b);

}  // namespace nuv
