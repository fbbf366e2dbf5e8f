#include "module/ping_function.h"

#include <optional>
#include <string>

#include "common/guard.h"
#include "common/text.h"
#include "module/proxy_argument.h"
#include "surface/ping_error.h"
#include "surface/settings_attributes.h"
#include "transport/ping.h"
#include "transport/trace.h"

namespace nuv {

namespace {

// A ping is a small thing: a round should not wait for one as long as for the API.
constexpr double kPingTimeoutSeconds = 10.0;
constexpr double kPingConnectTimeoutSeconds = 5.0;

// On error, set an exception and return false.
bool read_event(PyObject* value, HeartbeatEvent& event) {
  if (value == Py_None) return true;
  static const struct {
    const char* name;
    HeartbeatEvent event;
  } kEvents[] = {{"start", HeartbeatEvent::kStart},
                 {"success", HeartbeatEvent::kSuccess},
                 {"fail", HeartbeatEvent::kFail}};
  if (PyUnicode_Check(value)) {
    for (const auto& known : kEvents) {
      if (PyUnicode_CompareWithASCIIString(value, known.name) == 0) {
        event = known.event;
        return true;
      }
    }
  }
  PyErr_Format(PyExc_ValueError, "event must be \"start\", \"success\", \"fail\" or None, not %R",
               value);
  return false;
}

PyObject* ping_function(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"url",     "event", "message", "timeout", "connect_timeout",
                                   "retries", "proxy", nullptr};
  PyObject* url_object = nullptr;
  PyObject* event_object = Py_None;
  PyObject* message_object = Py_None;
  PyObject* timeout = nullptr;
  PyObject* connect_timeout = nullptr;
  PyObject* retries = nullptr;
  PyObject* proxy_object = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|$OOOOOO:ping", const_cast<char**>(keywords),
                                   &url_object, &event_object, &message_object, &timeout,
                                   &connect_timeout, &retries, &proxy_object)) {
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    PingOptions options;
    options.request.timeout = kPingTimeoutSeconds;
    options.request.connect_timeout = kPingConnectTimeoutSeconds;
    options.request.rate_limit = 0;
    if (!store_settings(options.request, retries, timeout, connect_timeout, nullptr))
      return nullptr;
    if (!read_proxy_argument(proxy_object, options.proxy)) return nullptr;
    std::string url;
    if (!utf8_of_secret(url_object, url, "url")) return nullptr;
    if (!is_ping_url(url)) {
      // Never the URL itself: it is a credential.
      PyErr_SetString(PyExc_ValueError,
                      "the ping URL must start with http:// or https:// and hold no blank");
      return nullptr;
    }
    HeartbeatEvent event = HeartbeatEvent::kNone;
    if (!read_event(event_object, event)) return nullptr;
    std::optional<std::string> message;
    if (message_object != Py_None) {
      if (!PyUnicode_Check(message_object)) {
        PyErr_Format(PyExc_TypeError, "message must be a str or None, not %.200s",
                     Py_TYPE(message_object)->tp_name);
        return nullptr;
      }
      message.emplace();
      if (!utf8_of_str(message_object, *message)) return nullptr;
    }
    const HeartbeatRequest request =
        heartbeat_request(url, event, message.has_value(), message.value_or(std::string()));
    if (!request.send) Py_RETURN_NONE;
    const PingResult result = send_ping(request.url, request.post ? &*message : nullptr, options);
    switch (result.outcome) {
      case PingOutcome::kSent:
        return PyLong_FromLong(result.http_status);
      case PingOutcome::kInterrupted:
        return nullptr;
      case PingOutcome::kFailed:
        break;
    }
    raise_ping_error(mask_ping_url(request.url), result.why, result.http_status, result.curl_code);
    return nullptr;
  });
}

}  // namespace

PyMethodDef kPingMethods[] = {
    // A trace line cut short by Ctrl-C ends the call (traced_call).
    {"ping", _PyCFunction_CAST(traced_call<ping_function>), METH_VARARGS | METH_KEYWORDS,
     "ping(url, *, event=None, message=None, timeout=10.0, connect_timeout=5.0, retries=2, "
     "proxy=None)\n--\n\n"
     "Report to a monitoring service: GET `url`, or POST `message` to it as text (cut to 10 "
     "KiB). With `event` (\"start\", \"success\" or \"fail\") the URL is a check's: an Uptime "
     "Kuma push URL (its path holds /api/push/) gets status=up, or down for \"fail\", and "
     "msg=`message` (else OK) in its query, and sends nothing for \"start\" (None is returned); "
     "any other URL is a healthchecks.io-style check: /start or /fail after its path, the "
     "message as the body. Returns the HTTP status of a 2xx answer; raises PingError for any "
     "other answer (redirects are not followed) or when the network fails, ValueError for a URL "
     "that is not http(s). Sent over nuv's transport: proxy None follows curl's proxy variables "
     "and no_proxy, \"\" connects directly; `timeout` bounds each attempt, `retries` repeats "
     "what failed without an answer. The URL is masked wherever it is shown."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace nuv
