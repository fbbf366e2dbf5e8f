#pragma once

#include <Python.h>

namespace nuv {

// The instance record of nuv.DingTalk: the robot's access token and its
// signing secret, each null (deleted) or a strong reference.
struct DingTalkObject {
  PyObject_HEAD
  PyObject* token;
  PyObject* secret;
};

// nuv.DingTalk; readied by PyInit__nuv.
extern PyTypeObject DingTalkType;

}  // namespace nuv
