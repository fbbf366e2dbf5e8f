#include "dingtalk/messages.h"

namespace nuv {

PyObject* DingTalk_send_text(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "send_text is not available yet");
  return nullptr;
}

PyObject* DingTalk_send_markdown(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "send_markdown is not available yet");
  return nullptr;
}

}  // namespace nuv
