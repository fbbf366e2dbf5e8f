#include "dingtalk/robot_call.h"

#include "common/json_tree.h"
#include "common/text.h"
#include "dingtalk/dingtalk_type.h"
#include "dingtalk/message_text.h"
#include "dingtalk/sign.h"
#include "dingtalk/webhook_token.h"
#include "surface/dingtalk_reply.h"
#include "transport/http_request.h"
#include "transport/retry_policy.h"
#include "transport/trace.h"

namespace nuv {

namespace {

constexpr char kContentTypeLine[] = "Content-Type: application/json;charset=utf-8";
// A throttled robot stays blocked this long, whatever is sent meanwhile.
constexpr double kThrottleSeconds = 600.0;

// The robot's answer when it throttles: HTTP 200 with errcode 410100 (sending
// too fast) or 130101 (too many messages); another send would only be
// refused too.
const char* throttled_robot(const HttpResult& answer) {
  if (answer.body.find("errcode") == std::string::npos) return nullptr;
  JsonTree root(json_tokener_parse(answer.body.c_str()));
  json_object* errcode = nullptr;
  if (!json_object_object_get_ex(root.get(), "errcode", &errcode)) return nullptr;
  switch (json_object_get_int(errcode)) {
    case 410100:
      return "the robot is throttled (errcode 410100)";
    case 130101:
      return "the robot is throttled (errcode 130101)";
    default:
      return nullptr;
  }
}

// A field that was deleted, or assigned something other than a str, fails
// here, before anything is signed, traced or posted.
bool read_credential(PyObject* self, PyObject* field, const char* name, std::string& out) {
  if (field == nullptr) {
    PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%s'", Py_TYPE(self)->tp_name,
                 name);
    return false;
  }
  if (!PyUnicode_Check(field)) {
    PyErr_Format(PyExc_TypeError, "%s must be str, not %.200s", name, Py_TYPE(field)->tp_name);
    return false;
  }
  return utf8_of_str(field, out);
}

bool read_keyword(PyObject* field, std::optional<std::string>& keyword) {
  if (field == nullptr || field == Py_None) return true;
  if (!PyUnicode_Check(field)) {
    PyErr_Format(PyExc_TypeError, "keyword must be str or None, not %.200s",
                 Py_TYPE(field)->tp_name);
    return false;
  }
  std::string text;
  if (!utf8_of_str(field, text)) return false;
  if (text.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "keyword: embedded null character");
    return false;
  }
  if (!text.empty()) keyword = std::move(text);
  return true;
}

// The constructor lets only str or None in. A proxy's text may hold a
// password: it never goes into an exception.
bool read_proxy(PyObject* field, std::optional<std::string>& proxy) {
  if (field == Py_None) return true;
  proxy.emplace();
  if (!utf8_of_secret(field, *proxy, "proxy")) return false;
  if (proxy->find('\0') == std::string::npos) return true;
  PyErr_SetString(PyExc_ValueError, "proxy must not contain NUL characters");
  return false;
}

// How the transport's result ended: statuses start at 100, libcurl's codes
// are small positive numbers, and -1 means no transfer was set up.
Exchange exchange_of(const HttpResult& result) {
  Exchange exchange;
  if (result.status >= 100) {
    exchange.http_status = result.status;
  } else if (result.status > 0) {
    exchange.curl_code = result.status;
  }
  return exchange;
}

}  // namespace

bool read_robot(PyObject* self, Robot& robot) {
  auto* object = reinterpret_cast<DingTalkObject*>(self);
  robot.settings = object->settings;
  std::string token;
  if (!read_credential(self, object->token, "token", token) ||
      !read_credential(self, object->secret, "secret", robot.secret) ||
      !read_keyword(object->keyword, robot.keyword) || !read_proxy(object->proxy, robot.proxy)) {
    return false;
  }
  std::optional<std::string> access_token = robot_access_token(token);
  if (!access_token) {
    PyErr_SetString(PyExc_ValueError, kNotWebhookUrl);
    return false;
  }
  robot.token = std::move(*access_token);
  return true;
}

bool read_str_list(PyObject* sequence, const char* name, std::vector<std::string>& out) {
  if (!PyList_Check(sequence) && !PyTuple_Check(sequence)) {
    PyErr_Format(PyExc_TypeError, "%s must be a list or tuple of str, not %.200s", name,
                 Py_TYPE(sequence)->tp_name);
    return false;
  }
  // Nothing below runs Python code, so a list cannot change under the loops.
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence);
  PyObject** items = PySequence_Fast_ITEMS(sequence);
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!PyUnicode_Check(items[i])) {
      PyErr_SetString(PyExc_TypeError, "list items must be strings.");
      return false;
    }
  }
  out.resize(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    std::string& item = out[static_cast<size_t>(i)];
    if (!utf8_of_str(items[i], item)) return false;
    // Refused like the other text arguments, which the "s" parser refuses.
    if (item.find('\0') != std::string::npos) {
      PyErr_SetString(PyExc_ValueError, "embedded null character");
      return false;
    }
  }
  return true;
}

bool check_web_url(std::string_view url, const char* name, bool empty_allowed) {
  if ((empty_allowed && url.empty()) || is_web_url(url)) return true;
  PyErr_Format(PyExc_ValueError, "%s must be an http or https URL%s", name,
               empty_allowed ? " or empty" : "");
  return false;
}

bool check_not_empty(std::string_view value, const char* name) {
  if (!value.empty()) return true;
  PyErr_Format(PyExc_ValueError, "%s must not be empty", name);
  return false;
}

bool keyword_missing(const Robot& robot, const std::vector<std::string_view>& texts) {
  if (!robot.keyword || holds_keyword(texts, *robot.keyword)) return false;
  trace("Keyword: appended %s\n", robot.keyword->c_str());
  return true;
}

std::optional<std::string> signed_url(const Robot& robot) {
  return dingtalk_sign_url(robot.secret, robot.token);
}

PyObject* post_message(const Robot& robot, const std::string& url, const std::string& body) {
  TraceBatch lines;  // "Data:" goes out with the request's lines, "Result:" alone
  trace("Data: %s\n", body.c_str());
  const std::vector<std::string> headers{kContentTypeLine};
  const ProxyChoice proxy = robot.proxy ? ProxyChoice{ProxySource::kCaller, *robot.proxy}
                                        : ProxyChoice{ProxySource::kEnvironment, {}};
  const HttpResult result = send_with_policy(
      RequestKind::kMessageSend, RequestText{"POST", url, headers, &body, proxy}, robot.settings,
      ServiceLimits{robot.token, kDingTalkWindowSeconds, throttled_robot, kThrottleSeconds});
  if (result.interrupted) return nullptr;
  trace("Result: %s\n", result.body.c_str());
  return new_dingtalk_reply(result.body, exchange_of(result));
}

}  // namespace nuv
