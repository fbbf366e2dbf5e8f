#pragma once

#include <Python.h>

#include "common/request_settings.h"

namespace nuv {

// The instance record of nuv.DingTalk: the robot's access token and its
// signing secret, each null (deleted) or a strong reference.
struct DingTalkObject {
  PyObject_HEAD
  PyObject* token;
  PyObject* secret;
  RequestSettings settings;
};

// nuv.DingTalk; readied by PyInit__nuv.
extern PyTypeObject DingTalkType;

}  // namespace nuv
