// The road of every Cloudflare API call: the caller's settings are read once
// into an ApiContext, paths and bodies are built as plain text, and
// cloudflare_request adds base URL, headers and proxy for the executor.
#pragma once

#include "common/python_compat.h"

#include <optional>
#include <string>
#include <string_view>

#include "cloudflare/cloudflare_object.h"
#include "common/request_settings.h"
#include "surface/api_response.h"
#include "transport/http_request.h"
#include "transport/retry_policy.h"

namespace nuv {

inline constexpr char DEFAULT_API_URL[] = "https://api.cloudflare.com/client/v4";
inline constexpr char DEFAULT_ZONES_PATH[] =
    "/zones?page=1&per_page=20&order=status&direction=desc&match=all";
inline constexpr char kZoneIdNullMessage[] = "Zone id is null, please query domain first.";

// What one method call sends with all of its requests. Read once, at the
// start of the call, so another thread reassigning a field cannot split one
// call across two accounts.
struct ApiContext {
  std::string token;
  std::string base_url;
  // The proxy given to the constructor; nullopt (proxy=None): the
  // environment's proxy variables, as curl reads them.
  std::optional<std::string> proxy;
  RequestSettings settings;
  // Cleared for a write that must not be left half done by an interrupt.
  bool interruptible = true;
  // Set for a write that is part of an operation already under way (see
  // RequestText::admitted).
  bool admitted = false;
};

// On error (a deleted or unconvertible field), set an exception and return
// false.
bool read_api_context(CloudflareObject* self, ApiContext& context);

// The zone id as UTF-8. On error (unset: ZoneNotFoundError, a TypeError,
// with kZoneIdNullMessage;
// unconvertible text), set an exception and return false.
bool read_zone_id(CloudflareObject* self, std::string& zone_id);

// "/zones/<zone id>": the id as one path segment ("." encoded too), so no
// zone id can lead a request to another resource.
// The zone a zone-scoped call acts on: its zone_id= keyword when given
// (`given` neither null nor None), without a look-up and without changing
// the selected zone; else the selected zone's id (read_zone_id). On error
// (not a str; no zone), set an exception and return false.
bool read_call_zone_id(CloudflareObject* self, PyObject* given, std::string& zone_id);

std::string zone_path(std::string_view zone_id);

// One request: base URL + path (DEFAULT_ZONES_PATH when null), the JSON
// content type and the bearer token, the instance's proxy, sent under the
// retry policy and the token's rate limit as `kind` allows.
HttpResult cloudflare_request(const ApiContext& context, RequestKind kind, std::string_view method,
                              const std::string* path, const std::string* request_body);

// As above, the kind told by the method: GET reads; PUT and PATCH are
// idempotent writes; DELETE deletes; anything else (POST) creates, the kind
// never sent twice blindly.
HttpResult cloudflare_request(const ApiContext& context, std::string_view method,
                              const std::string* path, const std::string* request_body);

// Sends `body` with `method` to "/zones/<zone id>" + suffix of the call's
// zone (read_call_zone_id) and returns the ApiResponse. On error, set an
// exception and return nullptr.
// A zone's settings and its cache purge are idempotent writes by default:
// sending one twice leaves what sending it once leaves.
PyObject* zone_request(PyObject* self, PyObject* zone_id_arg, const char* method,
                       const char* suffix, const std::string& body, Permission permission,
                       RequestKind kind = RequestKind::kIdempotentWrite);

// The ApiResponse (status, body) handed to Python; `permission` is what the
// call needs of the token (named by the hint of an authentication failure).
// On error (a body that is not UTF-8; an interrupted request, whose
// exception is already set), set an exception and return nullptr.
PyObject* api_response(const HttpResult& result, const ApiContext& context, Permission permission);

// An ApiResponse of items a method makes itself (such as ("404", "Record not
// found: ...")). On error, set an exception and return nullptr.
PyObject* api_response_of(PyObject* status, PyObject* body, const ApiContext& context,
                          Permission permission);

}  // namespace nuv
