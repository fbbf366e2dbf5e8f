#include "dingtalk/dingtalk_type.h"

#include <cstddef>

#include <string>
#include <utility>

#include "common/guard.h"
#include "common/py_ref.h"
#include "common/text.h"
#include "dingtalk/messages.h"
#include "dingtalk/webhook_token.h"
#include "surface/settings_attributes.h"
#include "transport/trace.h"

namespace nuv {

namespace {

DingTalkObject* as_dingtalk(PyObject* self) { return reinterpret_cast<DingTalkObject*>(self); }

PyObject* DingTalk_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
  PyRef self(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  DingTalkObject* object = as_dingtalk(self.get());
  for (PyObject** field : {&object->token, &object->secret}) {
    *field = PyUnicode_FromString("");
    if (*field == nullptr) return nullptr;  // dealloc releases the field already set
  }
  object->keyword = Py_NewRef(Py_None);
  object->proxy = Py_NewRef(Py_None);
  object->settings = RequestSettings{};
  object->settings.rate_limit = kDingTalkRateLimit;
  return self.release();
}

// A value left out keeps the current one, also when __init__ runs again.
// A token that starts like a URL but is not the robot's webhook URL is
// refused here already, as every send would refuse it.
int DingTalk_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_guarded(-1, [&]() -> int {
    static const char* keywords[] = {"token",   "secret",          "keyword",    "proxy", "retries",
                                     "timeout", "connect_timeout", "rate_limit", nullptr};
    PyObject* token = nullptr;
    PyObject* secret = nullptr;
    PyObject* keyword = nullptr;
    PyObject* proxy = nullptr;
    PyObject* retries = nullptr;
    PyObject* timeout = nullptr;
    PyObject* connect_timeout = nullptr;
    PyObject* rate_limit = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|UU$OOOOOO:DingTalk",
                                     const_cast<char**>(keywords), &token, &secret, &keyword,
                                     &proxy, &retries, &timeout, &connect_timeout, &rate_limit)) {
      return -1;
    }
    for (auto [name, value] : {std::pair{"keyword", keyword}, std::pair{"proxy", proxy}}) {
      if (value != nullptr && value != Py_None && !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be str or None, not %.200s", name,
                     Py_TYPE(value)->tp_name);
        return -1;
      }
    }
    if (token != nullptr) {
      std::string text;
      if (!utf8_of_str(token, text)) return -1;
      if (!robot_access_token(text)) {
        PyErr_SetString(PyExc_ValueError, kNotWebhookUrl);
        return -1;
      }
    }
    DingTalkObject* object = as_dingtalk(self);
    if (!store_settings(object->settings, retries, timeout, connect_timeout, rate_limit)) {
      return -1;
    }
    if (token != nullptr) replace_field(object->token, Py_NewRef(token));
    if (secret != nullptr) replace_field(object->secret, Py_NewRef(secret));
    if (keyword != nullptr) replace_field(object->keyword, Py_NewRef(keyword));
    if (proxy != nullptr) replace_field(object->proxy, Py_NewRef(proxy));
    return 0;
  });
}

// The members accept any object: an instance can sit in a reference cycle.
int DingTalk_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(as_dingtalk(self)->token);
  Py_VISIT(as_dingtalk(self)->secret);
  Py_VISIT(as_dingtalk(self)->keyword);
  Py_VISIT(as_dingtalk(self)->proxy);
  return 0;
}

int DingTalk_clear(PyObject* self) {
  Py_CLEAR(as_dingtalk(self)->token);
  Py_CLEAR(as_dingtalk(self)->secret);
  Py_CLEAR(as_dingtalk(self)->keyword);
  Py_CLEAR(as_dingtalk(self)->proxy);
  return 0;
}

void DingTalk_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  DingTalk_clear(self);
  Py_TYPE(self)->tp_free(self);
}

PyMemberDef DingTalk_members[] = {
    {"token", Py_T_OBJECT_EX, offsetof(DingTalkObject, token), 0, "DingTalk token"},
    {"secret", Py_T_OBJECT_EX, offsetof(DingTalkObject, secret), 0, "DingTalk secret"},
    {"keyword", Py_T_OBJECT_EX, offsetof(DingTalkObject, keyword), 0,
     "The keyword the robot's security setting wants, appended to a message's visible text "
     "when absent; None for none."},
    {nullptr, 0, 0, 0, nullptr},
};

constexpr size_t kSettingsOffset = offsetof(DingTalkObject, settings);
SettingSlot retries_slot{kSettingsOffset, SettingName::kRetries};
SettingSlot timeout_slot{kSettingsOffset, SettingName::kTimeout};
SettingSlot connect_timeout_slot{kSettingsOffset, SettingName::kConnectTimeout};
SettingSlot rate_limit_slot{kSettingsOffset, SettingName::kRateLimit};

PyGetSetDef DingTalk_getset[] = {
    {"retries", get_setting, set_setting,
     "Extra attempts for a send that provably never reached the robot (default 2).", &retries_slot},
    {"timeout", get_setting, set_setting, "Seconds one attempt may take (default 30.0).",
     &timeout_slot},
    {"connect_timeout", get_setting, set_setting,
     "Seconds one attempt may take to connect (default 10.0).", &connect_timeout_slot},
    {"rate_limit", get_setting, set_setting,
     "Messages per 60 s to this robot, kept by the whole process (default 20; 0: no limit).",
     &rate_limit_slot},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyDoc_STRVAR(DingTalk_send_text_doc,
             "send_text($self, /, content, at_mobiles=(), *, at_user_ids=(), at_all=False)\n"
             "--\n\n"
             "Post a text message. at_mobiles and at_user_ids (lists or tuples of str)\n"
             "and at_all are sent as the message's \"at\"; the robot's keyword is\n"
             "appended after a blank when the content lacks it. Returns a DingTalkReply,\n"
             "or None when no signed URL could be made.");

PyDoc_STRVAR(DingTalk_send_markdown_doc,
             "send_markdown($self, /, title, text, at_mobiles=(), *, at_user_ids=(),\n"
             "              at_all=False)\n"
             "--\n\n"
             "Post a markdown message. Every mobile or user id the text does not mention\n"
             "yet (\"@\" and the number, not followed by another digit) is appended after\n"
             "a blank line as \"@...\" so that the service notifies it, and \"@all\" with\n"
             "at_all; the robot's keyword goes on a line of its own when title and text\n"
             "lack it. Returns a DingTalkReply, or None when no signed URL could be made.");

PyDoc_STRVAR(DingTalk_send_link_doc,
             "send_link($self, /, title, text, message_url, pic_url='')\n"
             "--\n\n"
             "Post a link message. title and text must not be empty; message_url, and\n"
             "pic_url when given, must be http or https URLs (ValueError otherwise,\n"
             "before any request). Returns a DingTalkReply, or None.");

PyDoc_STRVAR(DingTalk_send_action_card_doc,
             "send_action_card($self, /, title, text, *, single_title=None, single_url=None,\n"
             "                 buttons=(), button_orientation='vertical')\n"
             "--\n\n"
             "Post an action card: either one whole-card button (single_title and\n"
             "single_url) or several (buttons: (title, url) pairs), stacked\n"
             "(\"vertical\") or side by side (\"horizontal\"). text is markdown.\n"
             "Returns a DingTalkReply, or None.");

PyDoc_STRVAR(DingTalk_send_feed_card_doc,
             "send_feed_card($self, /, links)\n"
             "--\n\n"
             "Post a feed card: links is a non-empty sequence of (title, message_url,\n"
             "pic_url) triples or dicts with those keys (pic_url may be left out).\n"
             "Returns a DingTalkReply, or None.");

PyMethodDef DingTalk_methods[] = {
    {"send_text", _PyCFunction_CAST(traced_call<DingTalk_send_text>), METH_VARARGS | METH_KEYWORDS,
     DingTalk_send_text_doc},
    {"send_markdown", _PyCFunction_CAST(traced_call<DingTalk_send_markdown>),
     METH_VARARGS | METH_KEYWORDS, DingTalk_send_markdown_doc},
    {"send_link", _PyCFunction_CAST(traced_call<DingTalk_send_link>), METH_VARARGS | METH_KEYWORDS,
     DingTalk_send_link_doc},
    {"send_action_card", _PyCFunction_CAST(traced_call<DingTalk_send_action_card>),
     METH_VARARGS | METH_KEYWORDS, DingTalk_send_action_card_doc},
    {"send_feed_card", _PyCFunction_CAST(traced_call<DingTalk_send_feed_card>),
     METH_VARARGS | METH_KEYWORDS, DingTalk_send_feed_card_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(DingTalk_doc,
             "DingTalk(token='', secret='', *, keyword=None, proxy=None, retries=2, "
             "timeout=30.0, connect_timeout=10.0, rate_limit=20)\n"
             "--\n\n"
             "Client of one DingTalk custom robot. token is the robot's access token, or\n"
             "its whole webhook URL (https://oapi.dingtalk.com/robot/send?access_token=...);\n"
             "secret is its signing secret (\"SEC...\"); keyword, when the robot's\n"
             "security setting wants one, is appended to every message lacking it.\n"
             "proxy (write-once) is the proxy to use, \"\" a direct connection, None (the\n"
             "default) the environment's variables as curl reads them for https\n"
             "(https_proxy, HTTPS_PROXY, all_proxy, ALL_PROXY, with no_proxy).\n"
             "Every send signs a fresh webhook URL.");

}  // namespace

// Slots left out of the designated initialiser stay zero and are inherited
// from object by PyType_Ready.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
// clang-format off
PyTypeObject DingTalkType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "nuv.DingTalk",
    .tp_basicsize = sizeof(DingTalkObject),
    .tp_itemsize = 0,
    .tp_dealloc = DingTalk_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = DingTalk_doc,
    .tp_traverse = DingTalk_traverse,
    .tp_clear = DingTalk_clear,
    .tp_methods = DingTalk_methods,
    .tp_members = DingTalk_members,
    .tp_getset = DingTalk_getset,
    .tp_init = DingTalk_init,
    .tp_new = DingTalk_new,
};
// clang-format on
#pragma GCC diagnostic pop

}  // namespace nuv
