// How the reconciliation and the zone lookup decide that two DNS texts mean
// the same thing. The service stores names and targets in lower case,
// without the trailing dot, in punycode, IPv6 addresses compressed and TXT
// values quoted; a caller may write them any way. Only comparisons use
// these forms: what is sent stays what the caller gave.
#pragma once

#include <string>
#include <string_view>

namespace nuv {

// A name or target in the form the service stores: ASCII letters in lower
// case, one trailing dot removed, each label holding non-ASCII text in
// punycode (IDNA 2008 with the UTS #46 mapping, through libidn2). A label
// that is not a valid internationalised name keeps its bytes.
std::string dns_name_key(std::string_view name);

// Whether two names (or CNAME/MX targets) are the same once in that form.
bool same_dns_name(std::string_view a, std::string_view b);

// Whether two record types are the same without ASCII case.
bool same_record_type(std::string_view a, std::string_view b);

// The type upper-cased (ASCII), as the service names types.
std::string record_type_key(std::string_view type);

// Whether a listed content is the wanted one for a record of `type` (upper
// case): A and AAAA as addresses (inet_pton; text that does not parse
// compares as text), CNAME and MX (the host alone) as names, TXT as text
// where one double-quoted string equals its unquoted text, every other type
// byte for byte.
bool same_record_content(std::string_view type, std::string_view listed, std::string_view wanted);

}  // namespace nuv
