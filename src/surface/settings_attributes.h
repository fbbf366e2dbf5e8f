// The `retries`, `timeout`, `connect_timeout` and `rate_limit` attributes and
// keywords, the same for Cloudflare and DingTalk: one getter and one setter
// serve every type whose instance record holds a RequestSettings.
#pragma once

#include "common/python_compat.h"

#include <cstddef>

#include "common/request_settings.h"

namespace nuv {

enum class SettingName { kRetries, kTimeout, kConnectTimeout, kRateLimit };

// Where a type keeps its settings: the closure of the getset entries.
struct SettingSlot {
  size_t settings_offset;
  SettingName name;
};

// PyGetSetDef functions; `closure` is a SettingSlot.
PyObject* get_setting(PyObject* self, void* closure);
int set_setting(PyObject* self, PyObject* value, void* closure);

// Validates `value` and stores it in `settings`. On error (TypeError for a
// value of the wrong type, ValueError for one out of range), set an exception
// and return false; `settings` is then unchanged.
bool store_setting(RequestSettings& settings, SettingName name, PyObject* value);

// Stores the keyword values given to __init__ (nullptr: not given), all or
// none: every value is checked before any is stored. On error, set an
// exception and return false.
bool store_settings(RequestSettings& settings, PyObject* retries, PyObject* timeout,
                    PyObject* connect_timeout, PyObject* rate_limit);

}  // namespace nuv
