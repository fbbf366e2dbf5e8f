#pragma once

#include <string>
#include <string_view>

namespace nuv {

// Percent-encodes every byte except the unreserved ones (letters, digits,
// "-", ".", "_", "~") as "%" and two upper-case hex digits: the same output
// as curl_easy_escape, for values placed in a URL path or query.
std::string percent_encode(std::string_view raw);

// The same, and "." as "%2E" too: for an id placed in a path as one segment.
// No id can then be "." or ".." (which any URL normaliser, the service's
// included, would resolve into another resource) nor contain "/".
std::string percent_encode_segment(std::string_view raw);

}  // namespace nuv
