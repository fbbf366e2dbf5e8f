// nuv.ApiResponse: what a Cloudflare method returns. A tuple of exactly the
// two items scripts unpack, (status, body), that can also read itself: the
// JSON envelope's parts, whether the call succeeded, the exception it
// stands for. Besides its two visible items it keeps, out of sight like
// os.stat_result's extra fields, the parsed body (once parsed), libcurl's
// detailed message, the body with credentials masked and what the hint of
// a failure needs.
#pragma once

#include "common/python_compat.h"

#include <string_view>

#include "surface/redact.h"

namespace nuv {

// The token permission a call needs: named by the hint of an
// authentication failure.
enum class Permission {
  kNone,
  kZoneRead,
  kDnsRead,
  kDnsEdit,
  kZoneSettings,
  kZoneSettingsRead,
  kCachePurge,
};

// What a response knows besides its two items.
struct ResponseFacts {
  // libcurl's detailed message of a transport failure (empty: none).
  std::string_view detail{};
  // The CA file (or directory) in force, named in the hint of a
  // certificate failure (empty: not known).
  std::string_view ca_source{};
  // Retry-After of the answer in seconds (negative: none).
  double retry_after = -1;
  Permission permission = Permission::kNone;
};

extern PyTypeObject ApiResponseType;

// A new ApiResponse of (status, body); `secrets` are masked in everything
// it shows besides its two items. On error, set an exception and return
// nullptr.
PyObject* new_api_response(PyObject* status, PyObject* body, const Secrets& secrets,
                           const ResponseFacts& facts);

// What the response stands for, read by the exception family. Borrowed
// references, valid while the response lives.
PyObject* response_status(PyObject* response);
// The body with the call's credentials masked.
PyObject* response_masked_body(PyObject* response);
PyObject* response_detail(PyObject* response);       // str
PyObject* response_ca_source(PyObject* response);    // str or nullptr
PyObject* response_retry_after(PyObject* response);  // float or nullptr
Permission response_permission(PyObject* response);

// The envelope's "errors" as a new list ([] when absent). On error, set an
// exception and return nullptr.
PyObject* response_errors(PyObject* response);

// True when the status is an int in 200..299 and, if the body is the
// service's JSON envelope, its "success" is true. -1 with an exception set
// on error.
int response_ok(PyObject* response);

}  // namespace nuv
