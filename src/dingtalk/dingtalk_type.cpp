#include "dingtalk/dingtalk_type.h"

#include <cstddef>

#include "common/py_ref.h"
#include "dingtalk/messages.h"

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
  return self.release();
}

// A value left out keeps the current one, also when __init__ runs again.
int DingTalk_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"token", "secret", nullptr};
  PyObject* token = nullptr;
  PyObject* secret = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|UU:DingTalk", const_cast<char**>(keywords),
                                   &token, &secret)) {
    return -1;
  }
  DingTalkObject* object = as_dingtalk(self);
  if (token != nullptr) replace_field(object->token, Py_NewRef(token));
  if (secret != nullptr) replace_field(object->secret, Py_NewRef(secret));
  return 0;
}

// The members accept any object: an instance can sit in a reference cycle.
int DingTalk_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(as_dingtalk(self)->token);
  Py_VISIT(as_dingtalk(self)->secret);
  return 0;
}

int DingTalk_clear(PyObject* self) {
  Py_CLEAR(as_dingtalk(self)->token);
  Py_CLEAR(as_dingtalk(self)->secret);
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
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef DingTalk_getset[] = {
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
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "DingTalk(token, salt) -> DingTalk \n\n DingTalk Object\n\n",
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
