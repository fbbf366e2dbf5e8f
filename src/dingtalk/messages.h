// The DingTalk send methods. Each returns a new reference (a DingTalkReply, or
// None when no signed URL could be made), or sets an exception and returns
// nullptr. Arguments are checked before anything is signed, traced or posted.
#pragma once

#include "common/python_compat.h"

namespace nuv {

PyObject* DingTalk_send_text(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* DingTalk_send_markdown(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* DingTalk_send_link(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* DingTalk_send_action_card(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* DingTalk_send_feed_card(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace nuv
