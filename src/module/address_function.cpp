#include "module/address_function.h"

#include <string>

#include "common/guard.h"
#include "common/mask_secret.h"
#include "common/text.h"
#include "module/proxy_argument.h"
#include "surface/address_errors.h"
#include "surface/settings_attributes.h"
#include "transport/address_gate.h"
#include "transport/address_lookup.h"
#include "transport/trace.h"

namespace nuv {

namespace {

// An address page answers in milliseconds; a round should not wait for one
// as long as for the API.
constexpr double kLookupTimeoutSeconds = 10.0;
constexpr double kLookupConnectTimeoutSeconds = 5.0;

std::string masked_source(const AddressSource& source, const std::string& text) {
  return source.kind == SourceKind::kUrl ? "url:" + mask_url(source.value) : text;
}

// On error, set an exception and return false.
bool read_family(PyObject* value, int& family) {
  if (!PyLong_Check(value) || PyBool_Check(value)) {
    PyErr_Format(PyExc_TypeError, "family must be 4 or 6, not %.200s", Py_TYPE(value)->tp_name);
    return false;
  }
  const long number = PyLong_AsLong(value);
  if (number == -1 && PyErr_Occurred()) return false;
  if (number != 4 && number != 6) {
    PyErr_Format(PyExc_ValueError, "family must be 4 or 6, not %R", value);
    return false;
  }
  family = static_cast<int>(number);
  return true;
}

PyObject* lookup_address_function(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"source",  "family", "timeout",       "connect_timeout",
                                   "retries", "proxy",  "allow_private", nullptr};
  PyObject* source_object = nullptr;
  PyObject* family_object = nullptr;
  PyObject* timeout = nullptr;
  PyObject* connect_timeout = nullptr;
  PyObject* retries = nullptr;
  PyObject* proxy_object = Py_None;
  int allow_private = 0;
  if (!PyArg_ParseTupleAndKeywords(
          args, kwargs, "UO|$OOOOp:lookup_address", const_cast<char**>(keywords), &source_object,
          &family_object, &timeout, &connect_timeout, &retries, &proxy_object, &allow_private)) {
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    int family = 4;
    if (!read_family(family_object, family)) return nullptr;
    AddressLookupOptions options;
    options.request.timeout = kLookupTimeoutSeconds;
    options.request.connect_timeout = kLookupConnectTimeoutSeconds;
    options.request.rate_limit = 0;
    if (!store_settings(options.request, retries, timeout, connect_timeout, nullptr))
      return nullptr;
    if (!read_proxy_argument(proxy_object, options.proxy)) return nullptr;
    options.allow_private = allow_private != 0;
    std::string text;
    if (!utf8_of_str(source_object, text)) return nullptr;
    AddressSource source;
    std::string why;
    if (!parse_address_source(text, source, why)) {
      PyErr_SetString(PyExc_ValueError, why.c_str());
      return nullptr;
    }

    const AddressLookup lookup = lookup_address(source, family, options);
    switch (lookup.outcome) {
      case LookupOutcome::kAddress:
        return PyUnicode_FromStringAndSize(lookup.address.data(),
                                           static_cast<Py_ssize_t>(lookup.address.size()));
      case LookupOutcome::kNoAddress:
        Py_RETURN_NONE;
      case LookupOutcome::kInterrupted:
        return nullptr;
      case LookupOutcome::kUnreadable:
      case LookupOutcome::kRefused:
        break;
    }
    AddressFailure failure;
    failure.refused = lookup.outcome == LookupOutcome::kRefused;
    failure.source = masked_source(source, text);
    failure.family = family;
    failure.why = lookup.why;
    failure.address = lookup.address;
    failure.http_status = lookup.http_status;
    failure.curl_code = lookup.curl_code;
    if (failure.refused && !options.allow_private &&
        gate_address(lookup.address, family, true).accepted) {
      failure.hint =
          "allow_private=True accepts private and documentation addresses, for a "
          "zone served only inside your network.";
    }
    raise_address_failure(failure);
    return nullptr;
  });
}

}  // namespace

PyMethodDef kAddressLookupMethods[] = {
    // A trace line cut short by Ctrl-C ends the call (traced_call).
    {"lookup_address", _PyCFunction_CAST(traced_call<lookup_address_function>),
     METH_VARARGS | METH_KEYWORDS,
     "lookup_address(source, family, *, timeout=10.0, connect_timeout=5.0, retries=2, "
     "proxy=None, allow_private=False)\n--\n\n"
     "This host's address of `family` (4 or 6) as `source` tells it: 'url:URL' (a page "
     "answering the address as text or in an ip= line, such as /cdn-cgi/trace), 'iface:NAME' "
     "(the interface's first global address), 'static:ADDRESS' or 'none'. Returns the address, "
     "or None when the source has none of that family. Only one global unicast address of the "
     "family is returned (allow_private=True also accepts private, shared and documentation "
     "addresses); anything else raises AddressRefused, and a source that cannot be read "
     "AddressUnreadable (both AddressLookupError). Pages are read over nuv's transport: proxy "
     "None follows curl's proxy variables and no_proxy, \"\" connects directly; at most 3 "
     "redirects, to http or https only; 64 KiB at most; `timeout` bounds each attempt, "
     "`retries` repeats what failed without an answer."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace nuv
