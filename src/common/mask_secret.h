// Secrets never reach the trace in clear: tokens, access_token query values
// and proxy passwords are masked where they are printed.
#pragma once

#include <string>
#include <string_view>

namespace nuv {

// "" stays ""; fewer than 16 bytes become "***"; longer ones "***" and
// their last 4 bytes (enough to tell two credentials apart in a log), less
// any leading bytes of a UTF-8 character cut by that boundary.
std::string mask_secret(std::string_view secret);

// A header line with the bearer token masked; other lines unchanged.
std::string mask_header_line(std::string_view line);

// A proxy text with its whole user information masked: everything between
// the scheme (if any) and the last "@" becomes "***", so no byte of a user
// name or password shows, whatever bytes they hold.
std::string mask_proxy(std::string_view proxy);

// A URL with user information in its authority masked ("***@host") and
// the value of every access_token and sign query parameter masked.
std::string mask_url(std::string_view url);

}  // namespace nuv
