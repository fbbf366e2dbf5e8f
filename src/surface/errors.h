// The exception family of nuv, created in C++ when _nuv is imported and
// re-exported by nuv:
//   CloudflareError(Exception)   .status .errors .response .hint
//     AuthenticationError        401/403 and the token error codes
//     NotFoundError              404
//     RateLimitedError           429, code 971; .retry_after
//     ConflictError              the "record already exists" codes
//     TransportError             the request could not be made; .curl_code
//     ZoneNotFoundError          also a TypeError: no zone to act on
//     UnsafeSyncError            a sync plan past its threshold; .updates
//                                .deletes .existing .threshold
// The hint (one sentence on what to do) is added as a note, so tracebacks
// show it, and is never part of str(e). No message, note or attribute text
// holds a credential: every text comes from a response's masked body or
// detail.
#pragma once

#include "common/python_compat.h"

#include <string>

namespace nuv {

// Creates the exception types and adds them to `module`. On error, set an
// exception and return false.
bool add_error_types(PyObject* module);

// The CloudflareError class (borrowed), for a failure the library itself
// reports without a response.
PyObject* cloudflare_error_class();

// Raises the CloudflareError subclass that `response` (an ApiResponse)
// stands for, with `message` (nullptr: one made from the response: the
// status with the envelope's error codes and messages, or the body).
void raise_for_response(PyObject* response, PyObject* message);

// The message raise_for_response makes of `response` (a new reference). On
// error, set an exception and return nullptr.
PyObject* response_message(PyObject* response);

// Raises UnsafeSyncError: a sync would update or delete more than
// `threshold` of the `existing` records in its scope.
void raise_unsafe_sync(size_t updates, size_t deletes, size_t existing, double threshold);

// Why a zone method has no zone to act on.
enum class ZoneProblem {
  kNotFound,     // the look-up found no zone of that name
  kNotSelected,  // no zone selected and none given
};

// Raises ZoneNotFoundError(message); `response` (the look-up's
// ApiResponse) may be nullptr.
void raise_zone_not_found(const std::string& message, ZoneProblem problem, PyObject* response);

}  // namespace nuv
