// send_text and send_markdown: the messages that can mention people.
#include "dingtalk/messages.h"

#include <string>
#include <vector>

#include "common/guard.h"
#include "dingtalk/message_body.h"
#include "dingtalk/message_text.h"
#include "dingtalk/robot_call.h"
#include "transport/trace.h"

namespace nuv {

namespace {

// The mention arguments; `mobiles` null when left out. On error, set an
// exception and return false.
bool read_mentions(PyObject* mobiles, PyObject* user_ids, int all, Mentions& mentions) {
  if (mobiles != nullptr && !read_str_list(mobiles, "at_mobiles", mentions.mobiles)) return false;
  if (user_ids != nullptr && !read_str_list(user_ids, "at_user_ids", mentions.user_ids)) {
    return false;
  }
  mentions.all = all != 0;
  return true;
}

// "At:" lists who is mentioned whenever the caller named anyone, or passed the
// mobiles argument at all (even empty), as send_markdown always has.
void trace_mentions(PyObject* mobiles, const Mentions& mentions) {
  if (trace_enabled() && (mobiles != nullptr || !mentions.empty()))
    trace("At: %s\n", mention_line(mentions).c_str());
}

}  // namespace

PyObject* DingTalk_send_text(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"content", "at_mobiles", "at_user_ids", "at_all", nullptr};
    const char* content = nullptr;
    PyObject* mobiles = nullptr;
    PyObject* user_ids = nullptr;
    int all = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|O$Op:send_text", const_cast<char**>(keywords),
                                     &content, &mobiles, &user_ids, &all)) {
      return nullptr;
    }
    Robot robot;
    if (!read_robot(self, robot)) return nullptr;
    Mentions mentions;
    if (!read_mentions(mobiles, user_ids, all, mentions)) return nullptr;
    trace_mentions(mobiles, mentions);
    // The service reads a text message's mentions from "at" alone.
    std::string sent = content;
    if (keyword_missing(robot, {sent})) sent = with_keyword(sent, *robot.keyword, " ");
    return sign_and_post(robot, [&] { return build_text_body(sent, mentions); });
  });
}

PyObject* DingTalk_send_markdown(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    // "mobiles" is the name the third argument had before the other kinds of
    // mention came; it still works as a keyword.
    static const char* keywords[] = {"title",       "text",   "at_mobiles", "mobiles",
                                     "at_user_ids", "at_all", nullptr};
    const char* title = nullptr;
    const char* text = nullptr;
    PyObject* mobiles = nullptr;
    PyObject* old_mobiles = nullptr;
    PyObject* user_ids = nullptr;
    int all = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ss|O$OOp:send_markdown",
                                     const_cast<char**>(keywords), &title, &text, &mobiles,
                                     &old_mobiles, &user_ids, &all)) {
      return nullptr;
    }
    if (old_mobiles != nullptr) {
      if (mobiles != nullptr) {
        PyErr_SetString(PyExc_TypeError, "send_markdown() got both at_mobiles and mobiles");
        return nullptr;
      }
      mobiles = old_mobiles;
    }
    Robot robot;
    if (!read_robot(self, robot)) return nullptr;
    Mentions mentions;
    if (!read_mentions(mobiles, user_ids, all, mentions)) return nullptr;
    trace_mentions(mobiles, mentions);
    // In markdown the service notifies only whom the text itself mentions.
    std::string sent = mention_text(text, mentions);
    if (keyword_missing(robot, {title, sent})) sent = with_keyword(sent, *robot.keyword, "\n\n");
    return sign_and_post(robot, [&] { return build_markdown_body(title, sent, mentions); });
  });
}

}  // namespace nuv
