// send_link, send_action_card and send_feed_card: the messages made of
// titles and links. What the service refuses for certain (an empty title or
// text, a link that is not http or https, a card with both or neither button
// forms, an empty feed) is refused here with ValueError.
#include <string>
#include <vector>

#include "common/guard.h"
#include "common/py_ref.h"
#include "common/text.h"
#include "dingtalk/message_body.h"
#include "dingtalk/message_text.h"
#include "dingtalk/messages.h"
#include "dingtalk/robot_call.h"

namespace nuv {

namespace {

constexpr char kVertical[] = "vertical";
constexpr char kHorizontal[] = "horizontal";

// One text of an item: a str without NUL. On error, set an exception and
// return false.
bool item_text(PyObject* value, const char* what, Py_ssize_t index, const char* field,
               std::string& out) {
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s[%zd]: %s must be str, not %.200s", what, index, field,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  if (!utf8_of_str(value, out)) return false;
  if (out.find('\0') != std::string::npos) {
    PyErr_Format(PyExc_ValueError, "%s[%zd]: %s: embedded null character", what, index, field);
    return false;
  }
  return true;
}

// The items of a sequence argument as a tuple, so nothing the caller's code
// does can change them while they are read. str and bytes are refused: they
// are sequences, but never of pairs or triples.
PyRef items_of(PyObject* sequence, const char* what) {
  if (PyUnicode_Check(sequence) || PyBytes_Check(sequence) || PyByteArray_Check(sequence)) {
    PyErr_Format(PyExc_TypeError, "%s must be a sequence, not %.200s", what,
                 Py_TYPE(sequence)->tp_name);
    return PyRef();
  }
  return PyRef(PySequence_Tuple(sequence));
}

// The fields of a (title, url, ...) item given as a tuple or list of exactly
// `names.size()` str. On error, set an exception and return false.
bool read_tuple_item(PyObject* item, const char* what, Py_ssize_t index,
                     const std::vector<const char*>& names, std::vector<std::string>& fields) {
  const bool shaped = (PyTuple_Check(item) || PyList_Check(item)) &&
                      PySequence_Fast_GET_SIZE(item) == static_cast<Py_ssize_t>(names.size());
  if (!shaped) {
    PyErr_Format(PyExc_TypeError, "%s[%zd] must be a %s of str, not %.200s", what, index,
                 names.size() == 2 ? "(title, url) pair" : "(title, message_url, pic_url) triple",
                 Py_TYPE(item)->tp_name);
    return false;
  }
  // A list item may not change under us: nothing below runs Python code.
  PyObject** values = PySequence_Fast_ITEMS(item);
  fields.resize(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    if (!item_text(values[i], what, index, names[i], fields[i])) return false;
  }
  return true;
}

bool read_buttons(PyObject* sequence, std::vector<CardButton>& buttons) {
  PyRef items = items_of(sequence, "buttons");
  if (!items) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
    std::vector<std::string> fields;
    if (!read_tuple_item(PyTuple_GET_ITEM(items.get(), i), "buttons", i, {"title", "url"},
                         fields)) {
      return false;
    }
    if (fields[0].empty()) {
      PyErr_Format(PyExc_ValueError, "buttons[%zd]: title must not be empty", i);
      return false;
    }
    if (!is_web_url(fields[1])) {
      PyErr_Format(PyExc_ValueError, "buttons[%zd]: url must be an http or https URL", i);
      return false;
    }
    buttons.push_back({std::move(fields[0]), std::move(fields[1])});
  }
  return true;
}

// A feed link given as a dict: "title" and "message_url" required,
// "pic_url" optional (""), no other key.
bool read_link_dict(PyObject* item, Py_ssize_t index, std::vector<std::string>& fields) {
  static const char* const kNames[] = {"title", "message_url", "pic_url"};
  fields.assign(3, std::string());
  Py_ssize_t found = 0;
  for (size_t i = 0; i < 3; ++i) {
    PyObject* value = nullptr;
    const int has = PyDict_GetItemStringRef(item, kNames[i], &value);
    if (has < 0) return false;
    PyRef owned(value);
    if (has == 0) {
      if (i == 2) continue;
      PyErr_Format(PyExc_ValueError, "links[%zd] has no \"%s\"", index, kNames[i]);
      return false;
    }
    ++found;
    if (!item_text(value, "links", index, kNames[i], fields[i])) return false;
  }
  if (PyDict_GET_SIZE(item) != found) {
    PyErr_Format(PyExc_ValueError,
                 "links[%zd] may hold only \"title\", \"message_url\" and \"pic_url\"", index);
    return false;
  }
  return true;
}

bool read_feed_links(PyObject* sequence, std::vector<FeedLink>& links) {
  PyRef items = items_of(sequence, "links");
  if (!items) return false;
  const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
  if (count == 0) {
    PyErr_SetString(PyExc_ValueError, "links must not be empty");
    return false;
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), i);
    std::vector<std::string> fields;
    const bool read =
        PyDict_Check(item)
            ? read_link_dict(item, i, fields)
            : read_tuple_item(item, "links", i, {"title", "message_url", "pic_url"}, fields);
    if (!read) return false;
    if (fields[0].empty()) {
      PyErr_Format(PyExc_ValueError, "links[%zd]: title must not be empty", i);
      return false;
    }
    if (!is_web_url(fields[1])) {
      PyErr_Format(PyExc_ValueError, "links[%zd]: message_url must be an http or https URL", i);
      return false;
    }
    if (!fields[2].empty() && !is_web_url(fields[2])) {
      PyErr_Format(PyExc_ValueError, "links[%zd]: pic_url must be an http or https URL or empty",
                   i);
      return false;
    }
    links.push_back({std::move(fields[0]), std::move(fields[1]), std::move(fields[2])});
  }
  return true;
}

}  // namespace

PyObject* DingTalk_send_link(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"title", "text", "message_url", "pic_url", nullptr};
    const char* title = nullptr;
    const char* text = nullptr;
    const char* message_url = nullptr;
    const char* pic_url = "";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sss|s:send_link", const_cast<char**>(keywords),
                                     &title, &text, &message_url, &pic_url)) {
      return nullptr;
    }
    if (!check_not_empty(title, "title") || !check_not_empty(text, "text") ||
        !check_web_url(message_url, "message_url") ||
        !check_web_url(pic_url, "pic_url", /*empty_allowed=*/true)) {
      return nullptr;
    }
    Robot robot;
    if (!read_robot(self, robot)) return nullptr;
    std::string sent = text;
    if (keyword_missing(robot, {title, sent})) sent = with_keyword(sent, *robot.keyword, " ");
    return sign_and_post(robot, [&] { return build_link_body(title, sent, message_url, pic_url); });
  });
}

PyObject* DingTalk_send_action_card(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {
        "title", "text", "single_title", "single_url", "buttons", "button_orientation", nullptr};
    const char* title = nullptr;
    const char* text = nullptr;
    const char* single_title = nullptr;
    const char* single_url = nullptr;
    PyObject* buttons_arg = nullptr;
    const char* orientation = kVertical;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ss|$zzOs:send_action_card",
                                     const_cast<char**>(keywords), &title, &text, &single_title,
                                     &single_url, &buttons_arg, &orientation)) {
      return nullptr;
    }
    if (!check_not_empty(title, "title") || !check_not_empty(text, "text")) return nullptr;
    const std::string_view orientation_name = orientation;
    if (orientation_name != kVertical && orientation_name != kHorizontal) {
      PyErr_SetString(PyExc_ValueError,
                      "button_orientation must be \"vertical\" or \"horizontal\"");
      return nullptr;
    }
    std::vector<CardButton> buttons;
    if (buttons_arg != nullptr && !read_buttons(buttons_arg, buttons)) return nullptr;
    const bool single = single_title != nullptr || single_url != nullptr;
    if (single && !buttons.empty()) {
      PyErr_SetString(PyExc_ValueError,
                      "give either single_title and single_url or buttons, not both");
      return nullptr;
    }
    if (!single && buttons.empty()) {
      PyErr_SetString(PyExc_ValueError,
                      "give either single_title and single_url or buttons (one at least)");
      return nullptr;
    }
    if (single) {
      if (single_title == nullptr || single_url == nullptr) {
        PyErr_SetString(PyExc_ValueError, "single_title and single_url go together");
        return nullptr;
      }
      if (!check_not_empty(single_title, "single_title") ||
          !check_web_url(single_url, "single_url")) {
        return nullptr;
      }
      buttons.push_back({single_title, single_url});
    }
    Robot robot;
    if (!read_robot(self, robot)) return nullptr;
    std::string sent = text;
    // The card's text is markdown: the keyword goes on a line of its own.
    if (keyword_missing(robot, {title, sent})) sent = with_keyword(sent, *robot.keyword, "\n\n");
    return sign_and_post(robot, [&] {
      return build_action_card_body(title, sent, buttons, single,
                                    orientation_name == kVertical ? "0" : "1");
    });
  });
}

PyObject* DingTalk_send_feed_card(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"links", nullptr};
    PyObject* links_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:send_feed_card", const_cast<char**>(keywords),
                                     &links_arg)) {
      return nullptr;
    }
    std::vector<FeedLink> links;
    if (!read_feed_links(links_arg, links)) return nullptr;
    Robot robot;
    if (!read_robot(self, robot)) return nullptr;
    std::vector<std::string_view> titles;
    for (const FeedLink& link : links) titles.push_back(link.title);
    // A feed shows only titles: the first one carries the keyword.
    if (keyword_missing(robot, titles)) {
      links.front().title = with_keyword(links.front().title, *robot.keyword, " ");
    }
    return sign_and_post(robot, [&] { return build_feed_card_body(links); });
  });
}

}  // namespace nuv
