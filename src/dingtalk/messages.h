// The DingTalk send methods. Each returns a new reference, or sets an
// exception and returns nullptr.
#pragma once

#include <Python.h>

namespace nuv {

PyObject* DingTalk_send_text(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* DingTalk_send_markdown(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace nuv
