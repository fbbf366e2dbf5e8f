// What every DingTalk send shares: reading the robot's fields once, reading
// text lists and URL arguments, the keyword, and posting a signed body.
// Functions taking PyObject* need the interpreter lock; on error they set an
// exception and return false (or nullptr).
#pragma once

#include "common/python_compat.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/request_settings.h"

namespace nuv {

// The robot's settings, read once at the start of a send.
struct Robot {
  std::string token;  // the access token, taken out of a webhook URL if given one
  std::string secret;
  std::optional<std::string> keyword;  // none when None or ""
  std::optional<std::string> proxy;    // none: the environment's
  RequestSettings settings;
};

bool read_robot(PyObject* self, Robot& robot);

// A list or tuple of str (`name` is the argument's name for the message).
// Every item is checked before any is converted, so a bad item stops the send
// before anything is traced.
bool read_str_list(PyObject* sequence, const char* name, std::vector<std::string>& out);

// ValueError unless `url` is an http or https URL (or empty, when allowed).
bool check_web_url(std::string_view url, const char* name, bool empty_allowed = false);

// ValueError when `value` is empty.
bool check_not_empty(std::string_view value, const char* name);

// True when the robot has a keyword and none of `texts` holds it; traces that
// it is appended.
bool keyword_missing(const Robot& robot, const std::vector<std::string_view>& texts);

// Posts `body` to the signed `url`, under the retry policy and the robot's
// rate limit, and makes the reply. On error (an interrupt), set an exception
// and return nullptr.
PyObject* post_message(const Robot& robot, const std::string& url, const std::string& body);

// The signed webhook URL, or nullopt (see dingtalk_sign_url).
std::optional<std::string> signed_url(const Robot& robot);

// Signs a fresh URL and posts the body `build` makes (after signing, so the
// trace shows the signing first). A new DingTalkReply, or None when no signed
// URL could be made. On error (an answer that is not UTF-8), set an exception
// and return nullptr.
template <class BuildBody>
PyObject* sign_and_post(const Robot& robot, BuildBody&& build) {
  const std::optional<std::string> url = signed_url(robot);
  if (!url) Py_RETURN_NONE;
  return post_message(robot, *url, build());
}

}  // namespace nuv
