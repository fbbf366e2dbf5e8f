// The `proxy=` keyword of the module's functions (address look-up, ping):
// None follows curl's proxy variables, a str is the caller's ("" direct).
#pragma once

#include "common/python_compat.h"

#include "transport/http_request.h"

namespace nuv {

// On error, set an exception and return false.
bool read_proxy_argument(PyObject* value, ProxyChoice& proxy);

}  // namespace nuv
