#include "surface/errors.h"

#include <algorithm>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "common/py_ref.h"
#include "common/text.h"
#include "surface/api_response.h"

namespace nuv {

namespace {

// Created once at import and kept for the life of the process.
PyObject* cloudflare_error = nullptr;
PyObject* authentication_error = nullptr;
PyObject* not_found_error = nullptr;
PyObject* rate_limited_error = nullptr;
PyObject* conflict_error = nullptr;
PyObject* transport_error = nullptr;
PyObject* zone_not_found_error = nullptr;
PyObject* unsafe_sync_error = nullptr;

constexpr std::initializer_list<long> kAuthenticationCodes = {9109, 9103, 10000, 6003, 6111};
constexpr std::initializer_list<long> kConflictCodes = {81053, 81054, 81057, 81058};
constexpr long kRateLimitedCode = 971;
constexpr long kRecordMissingCode = 81044;
constexpr long kNotProxiableCode = 9004;
constexpr long kTtlCode = 9021;
// libcurl's CURLE_PEER_FAILED_VERIFICATION and CURLE_SSL_CACERT_BADFILE.
constexpr long kCurlPeerFailedVerification = 60;
constexpr long kCurlCaCertBadFile = 77;

constexpr char kZoneIdHint[] =
    "; a token restricted to some zones can skip the zone look-up by passing zone_id= (to the "
    "method or to Cloudflare()).";

const char* permission_name(Permission permission) {
  switch (permission) {
    case Permission::kNone:
      break;
    case Permission::kZoneRead:
      return "Zone \u2192 Zone \u2192 Read";
    case Permission::kDnsRead:
      return "Zone \u2192 DNS \u2192 Read";
    case Permission::kDnsEdit:
      return "Zone \u2192 DNS \u2192 Edit";
    case Permission::kZoneSettings:
      return "Zone \u2192 Zone Settings \u2192 Edit";
    case Permission::kZoneSettingsRead:
      return "Zone \u2192 Zone Settings \u2192 Read";
    case Permission::kCachePurge:
      return "Zone \u2192 Cache Purge \u2192 Purge";
  }
  return nullptr;
}

// Every error code of the envelope, those of each error's "error_chain"
// included.
std::vector<long> error_codes(PyObject* errors) {
  std::vector<long> codes;
  auto add = [&](PyObject* entry, auto& self) -> void {
    if (!PyDict_Check(entry)) return;
    PyObject* code = PyDict_GetItemString(entry, "code");  // borrowed
    if (code != nullptr && PyLong_Check(code)) {
      const long value = PyLong_AsLong(code);
      if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
      } else {
        codes.push_back(value);
      }
    }
    PyObject* chain = PyDict_GetItemString(entry, "error_chain");
    if (chain != nullptr && PyList_Check(chain)) {
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(chain); ++i) self(PyList_GET_ITEM(chain, i), self);
    }
  };
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(errors); ++i) add(PyList_GET_ITEM(errors, i), add);
  return codes;
}

bool has_any(const std::vector<long>& codes, std::initializer_list<long> wanted) {
  return std::any_of(codes.begin(), codes.end(), [&](long code) {
    return std::find(wanted.begin(), wanted.end(), code) != wanted.end();
  });
}

bool has(const std::vector<long>& codes, long wanted) {
  return std::find(codes.begin(), codes.end(), wanted) != codes.end();
}

// "HTTP 403: 10000 Authentication error; ..." from the envelope's errors,
// else "HTTP 502: <head of the body>".
PyRef message_of(PyObject* response, PyObject* errors) {
  PyObject* status = response_status(response);
  PyObject* body = response_masked_body(response);
  const bool masked = body != PyTuple_GET_ITEM(response, 1);
  if (!PyLong_Check(status) || PyLong_AsLong(status) < 100) return PyRef::borrow(body);
  if (PyList_GET_SIZE(errors) > 0 && !masked) {
    PyRef parts(PyList_New(0));
    if (!parts) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(errors); ++i) {
      PyObject* entry = PyList_GET_ITEM(errors, i);
      PyObject* code = PyDict_Check(entry) ? PyDict_GetItemString(entry, "code") : nullptr;
      PyObject* text = PyDict_Check(entry) ? PyDict_GetItemString(entry, "message") : nullptr;
      PyRef part(PyUnicode_FromFormat("%S %S", code ? code : Py_None, text ? text : Py_None));
      if (!part || PyList_Append(parts.get(), part.get()) < 0) return {};
    }
    PyRef separator(PyUnicode_FromString("; "));
    PyRef joined(separator ? PyUnicode_Join(separator.get(), parts.get()) : nullptr);
    if (!joined) return {};
    return PyRef(PyUnicode_FromFormat("HTTP %S: %U", status, joined.get()));
  }
  if (!PyUnicode_Check(body) || PyUnicode_GET_LENGTH(body) == 0) {
    return PyRef(PyUnicode_FromFormat("HTTP %S", status));
  }
  constexpr Py_ssize_t kHead = 200;
  PyRef head(PyUnicode_Substring(body, 0, kHead));
  if (!head) return {};
  return PyRef(PyUnicode_FromFormat("HTTP %S: %U%s", status, head.get(),
                                    PyUnicode_GET_LENGTH(body) > kHead ? "..." : ""));
}

std::string permission_hint(Permission permission) {
  const char* name = permission_name(permission);
  std::string hint =
      name != nullptr
          ? std::string("This call needs an API token with the permission ") + name + " on the zone"
          : std::string(
                "Check that the API token is valid and has the permission "
                "this call needs on the zone");
  return hint + kZoneIdHint;
}

// The hint for the class chosen, or "" for none.
std::string hint_for(PyObject* cls, PyObject* response, const std::vector<long>& codes) {
  if (cls == authentication_error) {
    std::string hint = permission_hint(response_permission(response));
    if (has_any(codes, {6003, 6111})) {
      return "The service refused the Authorization header: api_token must hold the token "
             "alone, without \"Bearer \" or blanks. " +
             hint;
    }
    if (has(codes, 9109)) {
      return "The service does not accept this API token (revoked, expired, mistyped or used "
             "from an address it does not allow). " +
             hint;
    }
    return hint;
  }
  if (cls == conflict_error) {
    if (has(codes, 81054)) {
      return "A CNAME record already uses this name; dns_ensured_record replaces it with the "
             "wanted record.";
    }
    if (has(codes, 81053)) {
      return "An A, AAAA or CNAME record already uses this name (a CNAME excludes every other "
             "record of its name); dns_ensured_record replaces the conflicting record.";
    }
    return "An identical record already exists; dns_ensured_record leaves it as it is.";
  }
  if (cls == rate_limited_error) {
    return "The service allows 1200 requests per 5 minutes per token: wait (see retry_after) "
           "and make fewer calls, for example one listing instead of one look-up per record.";
  }
  if (cls == not_found_error) {
    return "The zone or record id is not known to the service: look the zone up again, or list "
           "the records to get their current ids.";
  }
  if (cls == transport_error) {
    std::string hint;
    if (!utf8_of_str(response_detail(response), hint)) {
      PyErr_Clear();
      hint.clear();
    }
    const long code = PyLong_AsLong(response_status(response));
    if (code == kCurlPeerFailedVerification || code == kCurlCaCertBadFile) {
      std::string ca;
      PyObject* source = response_ca_source(response);
      if (source != nullptr && !utf8_of_str(source, ca)) {
        PyErr_Clear();
        ca.clear();
      }
      if (!hint.empty()) hint += "; ";
      if (ca.empty()) {
        hint +=
            "set CURL_CA_BUNDLE or SSL_CERT_FILE to a CA bundle, or SSL_CERT_DIR to a hashed "
            "directory of CA certificates";
      } else {
        hint += "the CA file in force was " + ca +
                " (set CURL_CA_BUNDLE or SSL_CERT_FILE to the bundle that holds the service's CA)";
      }
    }
    if (!hint.empty()) hint += '.';
    return hint;
  }
  if (has(codes, kNotProxiableCode)) {
    return "Only A, AAAA and CNAME records can be proxied: pass proxied=False for other types.";
  }
  if (has(codes, kTtlCode)) {
    return "The TTL must be 1 (automatic) or between 60 and 86400 seconds (30 on Enterprise "
           "zones).";
  }
  return {};
}

// Sets the attributes and the note, then raises `error` (taken over).
void raise_with(PyRef error, PyObject* response, PyObject* errors, const std::string& hint) {
  if (!error) return;
  PyObject* target = error.get();
  PyRef hint_text(hint.empty() ? Py_NewRef(Py_None)
                               : PyUnicode_DecodeUTF8(
                                     hint.data(), static_cast<Py_ssize_t>(hint.size()), "replace"));
  if (!hint_text) return;
  PyObject* status = response != nullptr ? response_status(response) : Py_None;
  if (PyObject_SetAttrString(target, "status", status) < 0 ||
      PyObject_SetAttrString(target, "errors", errors) < 0 ||
      PyObject_SetAttrString(target, "response", response != nullptr ? response : Py_None) < 0 ||
      PyObject_SetAttrString(target, "hint", hint_text.get()) < 0) {
    return;
  }
  if (!hint.empty()) {
    PyRef noted(PyObject_CallMethod(target, "add_note", "O", hint_text.get()));
    if (!noted) return;
  }
  PyErr_SetRaisedException(error.release());  // steals the reference
}

PyObject* make_type(PyObject* module, const char* name, const char* doc, PyObject* bases,
                    std::initializer_list<std::pair<const char*, PyObject*>> defaults) {
  PyRef members(PyDict_New());
  if (!members) return nullptr;
  for (const auto& [key, value] : defaults) {
    if (PyDict_SetItemString(members.get(), key, value) < 0) return nullptr;
  }
  const std::string qualified = std::string("nuv.") + name;
  PyObject* type = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, bases, members.get());
  if (type == nullptr) return nullptr;
  if (PyModule_AddObjectRef(module, name, type) < 0) {
    Py_DECREF(type);
    return nullptr;
  }
  return type;  // kept for the life of the process
}

}  // namespace

bool add_error_types(PyObject* module) {
  PyRef empty(PyTuple_New(0));
  if (!empty) return false;
  cloudflare_error = make_type(
      module, "CloudflareError",
      "A Cloudflare call failed. status: the response's status (or None); errors: the "
      "envelope's error entries; response: the ApiResponse (or None); hint: one sentence on what "
      "to do (also added as a note, never part of str(e)); unrestored: the records "
      "dns_ensured_record deleted to make room for the wanted one and could not put back.",
      PyExc_Exception,
      {{"status", Py_None},
       {"errors", empty.get()},
       {"response", Py_None},
       {"hint", Py_None},
       {"unrestored", empty.get()},
       {"record", Py_None},
       {"records", Py_None},
       {"applied", Py_None}});
  if (cloudflare_error == nullptr) return false;
  authentication_error = make_type(module, "AuthenticationError",
                                   "The service refused the token, or the token lacks a "
                                   "permission (401, 403; codes 9109, 9103, 10000, 6003, 6111).",
                                   cloudflare_error, {});
  not_found_error = make_type(module, "NotFoundError", "The zone or record does not exist (404).",
                              cloudflare_error, {});
  rate_limited_error = make_type(
      module, "RateLimitedError",
      "Too many requests (429, code 971). retry_after: seconds to wait, or None when the service "
      "did not say.",
      cloudflare_error, {{"retry_after", Py_None}});
  conflict_error = make_type(module, "ConflictError",
                             "A record of that name already exists (codes 81053, 81054, 81057, "
                             "81058).",
                             cloudflare_error, {});
  transport_error = make_type(
      module, "TransportError",
      "The request could not be made (no answer). curl_code: libcurl's result code (-1 when no "
      "transfer could be set up); the hint holds libcurl's detailed message.",
      cloudflare_error, {{"curl_code", Py_None}});
  if (!authentication_error || !not_found_error || !rate_limited_error || !conflict_error ||
      !transport_error) {
    return false;
  }
  PyRef bases(PyTuple_Pack(2, cloudflare_error, PyExc_TypeError));
  if (!bases) return false;
  zone_not_found_error = make_type(
      module, "ZoneNotFoundError",
      "No zone to act on: the look-up found no zone of that name, or no zone is selected. Also a "
      "TypeError, as these failures were before.",
      bases.get(), {});
  if (zone_not_found_error == nullptr) return false;
  PyRef zero(PyLong_FromLong(0));
  PyRef zero_share(PyFloat_FromDouble(0.0));
  if (!zero || !zero_share) return false;
  unsafe_sync_error = make_type(
      module, "UnsafeSyncError",
      "A whole-zone sync would update or delete more than its threshold of the existing records "
      "in its scope, and nothing was written (pass force=True to apply it). updates, deletes: "
      "the plan's counts; existing: the records in scope; threshold: the share allowed.",
      cloudflare_error,
      {{"updates", zero.get()},
       {"deletes", zero.get()},
       {"existing", zero.get()},
       {"threshold", zero_share.get()}});
  return unsafe_sync_error != nullptr;
}

PyObject* cloudflare_error_class() { return cloudflare_error; }

void raise_for_response(PyObject* response, PyObject* message) {
  PyRef errors(response_errors(response));
  if (!errors) return;
  const std::vector<long> codes = error_codes(errors.get());
  PyObject* status = response_status(response);
  long code = 0;
  if (PyLong_Check(status)) {
    code = PyLong_AsLong(status);
    if (code == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      code = 0;
    }
  }

  PyObject* cls = cloudflare_error;
  if (!PyLong_Check(status)) {
    cls = not_found_error;  // dns_ensured_record's ("404", "Record not found: ...")
  } else if (code < 100) {
    cls = transport_error;
  } else if (code == 401 || code == 403 || has_any(codes, kAuthenticationCodes)) {
    cls = authentication_error;
  } else if (code == 429 || has(codes, kRateLimitedCode)) {
    cls = rate_limited_error;
  } else if (code == 409 || has_any(codes, kConflictCodes)) {
    cls = conflict_error;
  } else if (code == 404 || has(codes, kRecordMissingCode)) {
    cls = not_found_error;
  }

  PyRef text = message != nullptr ? PyRef::borrow(message) : message_of(response, errors.get());
  if (!text) return;
  PyRef error(PyObject_CallOneArg(cls, text.get()));
  if (!error) return;
  if (cls == rate_limited_error) {
    PyObject* retry_after = response_retry_after(response);
    if (PyObject_SetAttrString(error.get(), "retry_after", retry_after ? retry_after : Py_None) <
        0) {
      return;
    }
  }
  if (cls == transport_error && PyObject_SetAttrString(error.get(), "curl_code", status) < 0) {
    return;
  }
  const std::string hint = hint_for(cls, response, codes);
  raise_with(std::move(error), response, errors.get(), hint);
}

PyObject* response_message(PyObject* response) {
  PyRef errors(response_errors(response));
  if (!errors) return nullptr;
  return message_of(response, errors.get()).release();
}

void raise_unsafe_sync(size_t updates, size_t deletes, size_t existing, double threshold) {
  PyRef message(PyUnicode_FromFormat(
      "The plan updates %zu and deletes %zu of the %zu records in scope, more than %d%% of them: "
      "nothing was written",
      updates, deletes, existing, static_cast<int>(threshold * 100 + 0.5)));
  if (!message) return;
  PyRef error(PyObject_CallOneArg(unsafe_sync_error, message.get()));
  if (!error) return;
  PyRef counts[] = {PyRef(PyLong_FromSize_t(updates)), PyRef(PyLong_FromSize_t(deletes)),
                    PyRef(PyLong_FromSize_t(existing)), PyRef(PyFloat_FromDouble(threshold))};
  const char* names[] = {"updates", "deletes", "existing", "threshold"};
  for (size_t i = 0; i < 4; ++i) {
    if (!counts[i] || PyObject_SetAttrString(error.get(), names[i], counts[i].get()) < 0) return;
  }
  PyRef empty(PyList_New(0));
  if (!empty) return;
  raise_with(std::move(error), nullptr, empty.get(),
             "Check the plan (dns_sync_plan) before applying it: force=True applies it anyway, "
             "threshold= sets the share allowed.");
}

void raise_zone_not_found(const std::string& message, ZoneProblem problem, PyObject* response) {
  PyRef text(str_from_utf8(message));
  if (!text) return;
  PyRef errors(response != nullptr ? response_errors(response) : PyList_New(0));
  if (!errors) return;
  PyRef error(PyObject_CallOneArg(zone_not_found_error, text.get()));
  const std::string hint =
      problem == ZoneProblem::kNotSelected
          ? std::string(
                "Select a zone first with query(domain), or pass zone_id= to the method "
                "or to Cloudflare().")
          : std::string(
                "Check the domain's spelling and that the API token has the permission "
                "Zone \u2192 Zone \u2192 Read on it") +
                kZoneIdHint;
  raise_with(std::move(error), response, errors.get(), hint);
}

}  // namespace nuv
