// The versions of the C libraries a request runs on, as the process loaded
// them (not as the build saw their headers): what `nuv --version` and a bug
// report name.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace nuv {

// (name, version) of libcurl, its TLS library and json-c, in that order;
// a TLS library libcurl does not name is left out. Never fails but for
// std::bad_alloc.
std::vector<std::pair<std::string, std::string>> linked_library_versions();

}  // namespace nuv
