// The exception of nuv.ping, created when _nuv is imported:
//   PingError(Exception)   .url (masked) .status .curl_code
#pragma once

#include "common/python_compat.h"

#include <string>

namespace nuv {

// Creates the type and adds it to `module`. On error, set an exception and
// return false.
bool add_ping_error_type(PyObject* module);

// Raises PingError("<masked url>: <why>").
void raise_ping_error(const std::string& shown_url, const std::string& why, int http_status,
                      int curl_code);

}  // namespace nuv
