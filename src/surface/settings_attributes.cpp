#include "surface/settings_attributes.h"

#include <cmath>
#include <utility>

namespace nuv {

namespace {

const char* name_of(SettingName name) {
  switch (name) {
    case SettingName::kRetries:
      return "retries";
    case SettingName::kTimeout:
      return "timeout";
    case SettingName::kConnectTimeout:
      return "connect_timeout";
    case SettingName::kRateLimit:
      return "rate_limit";
  }
  return "setting";
}

// bool is an int to Python, but `retries=True` is a mistake, not a count.
bool is_integer(PyObject* value) { return PyLong_Check(value) && !PyBool_Check(value); }

bool read_count(PyObject* value, const char* name, long maximum, long& out) {
  if (!is_integer(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be an int, not %.200s", name, Py_TYPE(value)->tp_name);
    return false;
  }
  int overflow = 0;
  const long count = PyLong_AsLongAndOverflow(value, &overflow);
  if (count == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || count < 0 || count > maximum) {
    PyErr_Format(PyExc_ValueError, "%s must be between 0 and %ld, not %R", name, maximum, value);
    return false;
  }
  out = count;
  return true;
}

bool read_seconds(PyObject* value, const char* name, double& out) {
  if (!is_integer(value) && !PyFloat_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be a number of seconds, not %.200s", name,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  double seconds = PyFloat_AsDouble(value);
  if (seconds == -1.0 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
    seconds = HUGE_VAL;  // an int too large for a float: out of range below
  }
  if (!(seconds > 0.0 && seconds <= kMaxTimeoutSeconds)) {  // NaN fails too
    PyErr_Format(PyExc_ValueError, "%s must be more than 0 and at most %d seconds, not %R", name,
                 static_cast<int>(kMaxTimeoutSeconds), value);
    return false;
  }
  out = seconds;
  return true;
}

RequestSettings& settings_of(PyObject* self, void* closure) {
  const auto* slot = static_cast<const SettingSlot*>(closure);
  return *reinterpret_cast<RequestSettings*>(reinterpret_cast<char*>(self) + slot->settings_offset);
}

}  // namespace

bool store_setting(RequestSettings& settings, SettingName name, PyObject* value) {
  const char* text = name_of(name);
  long count = 0;
  double seconds = 0.0;
  switch (name) {
    case SettingName::kRetries:
      if (!read_count(value, text, kMaxRetries, count)) return false;
      settings.retries = static_cast<int>(count);
      return true;
    case SettingName::kRateLimit:
      if (!read_count(value, text, kMaxRateLimit, count)) return false;
      settings.rate_limit = count;
      return true;
    case SettingName::kTimeout:
      if (!read_seconds(value, text, seconds)) return false;
      settings.timeout = seconds;
      return true;
    case SettingName::kConnectTimeout:
      if (!read_seconds(value, text, seconds)) return false;
      settings.connect_timeout = seconds;
      return true;
  }
  return true;
}

bool store_settings(RequestSettings& settings, PyObject* retries, PyObject* timeout,
                    PyObject* connect_timeout, PyObject* rate_limit) {
  RequestSettings checked = settings;
  const std::pair<SettingName, PyObject*> given[] = {
      {SettingName::kRetries, retries},
      {SettingName::kTimeout, timeout},
      {SettingName::kConnectTimeout, connect_timeout},
      {SettingName::kRateLimit, rate_limit},
  };
  for (const auto& [name, value] : given) {
    if (value != nullptr && !store_setting(checked, name, value)) return false;
  }
  settings = checked;
  return true;
}

PyObject* get_setting(PyObject* self, void* closure) {
  const RequestSettings& settings = settings_of(self, closure);
  switch (static_cast<const SettingSlot*>(closure)->name) {
    case SettingName::kRetries:
      return PyLong_FromLong(settings.retries);
    case SettingName::kTimeout:
      return PyFloat_FromDouble(settings.timeout);
    case SettingName::kConnectTimeout:
      return PyFloat_FromDouble(settings.connect_timeout);
    case SettingName::kRateLimit:
      return PyLong_FromLong(settings.rate_limit);
  }
  Py_RETURN_NONE;
}

int set_setting(PyObject* self, PyObject* value, void* closure) {
  const SettingName name = static_cast<const SettingSlot*>(closure)->name;
  if (value == nullptr) {
    PyErr_Format(PyExc_AttributeError, "cannot delete %s", name_of(name));
    return -1;
  }
  return store_setting(settings_of(self, closure), name, value) ? 0 : -1;
}

}  // namespace nuv
