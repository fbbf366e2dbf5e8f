#include "dingtalk/messages.h"

#include <optional>
#include <string>
#include <vector>

#include "common/guard.h"
#include "common/text.h"
#include "dingtalk/dingtalk_type.h"
#include "dingtalk/message_body.h"
#include "dingtalk/sign.h"
#include "transport/http_request.h"
#include "transport/trace.h"

namespace nuv {

namespace {

constexpr char kContentTypeLine[] = "Content-Type: application/json;charset=utf-8";

// The robot's credentials, read once at the start of a send.
struct Robot {
  std::string token;
  std::string secret;
};

// A field that was deleted, or assigned something other than a str, fails
// here, before anything is signed, traced or posted. On error, set an
// exception and return false.
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

bool read_robot(PyObject* self, Robot& robot) {
  auto* object = reinterpret_cast<DingTalkObject*>(self);
  return read_credential(self, object->token, "token", robot.token) &&
         read_credential(self, object->secret, "secret", robot.secret);
}

// The mobile numbers of send_markdown: a list or a tuple of str. Every item
// is checked before any is converted, so a bad item stops the send before
// anything is traced. On error, set an exception and return false.
bool read_mobiles(PyObject* sequence, std::vector<std::string>& mobiles) {
  if (!PyList_Check(sequence) && !PyTuple_Check(sequence)) {
    PyErr_Format(PyExc_TypeError, "mobiles must be a list or tuple of str, not %.200s",
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
  mobiles.resize(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    std::string& mobile = mobiles[static_cast<size_t>(i)];
    if (!utf8_of_str(items[i], mobile)) return false;
    // Refused like the other text arguments, which the "s" parser refuses.
    if (mobile.find('\0') != std::string::npos) {
      PyErr_SetString(PyExc_ValueError, "embedded null character");
      return false;
    }
  }
  return true;
}

// Posts a signed message body and hands the answer to Python: the response
// text (or the executor's error text) as a str. On error (a response that is
// not UTF-8), set an exception and return nullptr.
PyObject* post_message(const std::string& url, const std::string& body) {
  trace("Data: %s\n", body.c_str());
  const HttpResult result = http_request("POST", url, {kContentTypeLine}, &body, ProxyChoice{});
  trace("Result: %s\n", result.body.c_str());
  return str_from_utf8(result.body);
}

}  // namespace

PyObject* DingTalk_send_text(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"content", nullptr};
    const char* content = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s:send_text", const_cast<char**>(keywords),
                                     &content)) {
      return nullptr;
    }
    Robot robot;
    if (!read_robot(self, robot)) return nullptr;
    const std::optional<std::string> url = dingtalk_sign_url(robot.secret, robot.token);
    if (!url) Py_RETURN_NONE;
    return post_message(*url, build_text_body(content));
  });
}

PyObject* DingTalk_send_markdown(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"title", "text", "mobiles", nullptr};
    const char* title = nullptr;
    const char* text = nullptr;
    PyObject* mobiles_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ss|O:send_markdown",
                                     const_cast<char**>(keywords), &title, &text, &mobiles_arg)) {
      return nullptr;
    }
    Robot robot;
    if (!read_robot(self, robot)) return nullptr;
    std::vector<std::string> mobiles;
    if (mobiles_arg != nullptr) {
      if (!read_mobiles(mobiles_arg, mobiles)) return nullptr;
      trace("At: %s\n", mention_line(mobiles).c_str());
    }
    const std::optional<std::string> url = dingtalk_sign_url(robot.secret, robot.token);
    if (!url) Py_RETURN_NONE;
    // The caller's own title and text; the body below shows what is sent.
    trace("send markdown: %s\n", title);
    trace("send markdown: %s\n", text);
    return post_message(*url, build_markdown_body(title, mention_text(text, mobiles), mobiles));
  });
}

}  // namespace nuv
