// The instance record of nuv.Cloudflare. Each field is null (unset) or a
// strong reference owned by the instance.
#pragma once

#include "common/python_compat.h"

#include "common/request_settings.h"

namespace nuv {

struct CloudflareObject {
  PyObject_HEAD
  PyObject* email;
  PyObject* account;
  PyObject* api_token;
  PyObject* api_url;
  PyObject* zone;
  PyObject* zone_id;
  PyObject* proxy;
  RequestSettings settings;
};

}  // namespace nuv
