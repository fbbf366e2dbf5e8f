#pragma once

#include "common/python_compat.h"

#include "common/request_settings.h"

namespace nuv {

// The instance record of nuv.DingTalk: the robot's access token, its
// signing secret and the keyword its security setting wants, each null
// (deleted) or a strong reference (the keyword may be None); and the proxy
// given to the constructor, None (the environment's, as curl reads it) or a
// str ("" connects directly), never null.
struct DingTalkObject {
  PyObject_HEAD
  PyObject* token;
  PyObject* secret;
  PyObject* keyword;
  PyObject* proxy;
  RequestSettings settings;
};

// nuv.DingTalk; readied by PyInit__nuv.
extern PyTypeObject DingTalkType;

}  // namespace nuv
