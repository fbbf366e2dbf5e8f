#include "dingtalk/dingtalk_type.h"

#include <cstddef>

#include "common/py_ref.h"
#include "dingtalk/messages.h"
#include "surface/settings_attributes.h"

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
  object->settings = RequestSettings{};
  object->settings.rate_limit = kDingTalkRateLimit;
  return self.release();
}

// A value left out keeps the current one, also when __init__ runs again.
int DingTalk_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"token",           "secret",     "retries", "timeout",
                                   "connect_timeout", "rate_limit", nullptr};
  PyObject* token = nullptr;
  PyObject* secret = nullptr;
  PyObject* retries = nullptr;
  PyObject* timeout = nullptr;
  PyObject* connect_timeout = nullptr;
  PyObject* rate_limit = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|UU$OOOO:DingTalk", const_cast<char**>(keywords),
                                   &token, &secret, &retries, &timeout, &connect_timeout,
                                   &rate_limit)) {
    return -1;
  }
  DingTalkObject* object = as_dingtalk(self);
  if (!store_settings(object->settings, retries, timeout, connect_timeout, rate_limit)) return -1;
  if (token != nullptr) replace_field(object->token, Py_NewRef(token));
  if (secret != nullptr) replace_field(object->secret, Py_NewRef(secret));
  return 0;
}

void DingTalk_dealloc(PyObject* self) {
  DingTalkObject* object = as_dingtalk(self);
  Py_CLEAR(object->token);
  Py_CLEAR(object->secret);
  Py_TYPE(self)->tp_free(self);
}

PyMemberDef DingTalk_members[] = {
    {"token", Py_T_OBJECT_EX, offsetof(DingTalkObject, token), 0, "DingTalk token"},
    {"secret", Py_T_OBJECT_EX, offsetof(DingTalkObject, secret), 0, "DingTalk secret"},
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

PyMethodDef DingTalk_methods[] = {
    {"send_text", _PyCFunction_CAST(DingTalk_send_text), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"send_markdown", _PyCFunction_CAST(DingTalk_send_markdown), METH_VARARGS | METH_KEYWORDS,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

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
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "DingTalk(token, salt) -> DingTalk \n\n DingTalk Object\n\n",
    .tp_methods = DingTalk_methods,
    .tp_members = DingTalk_members,
    .tp_getset = DingTalk_getset,
    .tp_init = DingTalk_init,
    .tp_new = DingTalk_new,
};
// clang-format on
#pragma GCC diagnostic pop

}  // namespace nuv
