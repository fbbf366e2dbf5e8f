#include "module/trace_setting.h"

#include <cstdlib>
#include <string>
#include <string_view>

#include "common/guard.h"
#include "common/py_ref.h"
#include "transport/trace.h"

namespace nuv {

namespace {

struct NamedTarget {
  std::string_view name;
  TraceTarget target;
};

constexpr NamedTarget kNamedTargets[] = {
    {"stdout", TraceTarget::kStdout},
    {"stderr", TraceTarget::kStderr},
    {"off", TraceTarget::kOff},
    {"logging", TraceTarget::kLogging},
};

const NamedTarget* find_named_target(std::string_view name) {
  for (const NamedTarget& named : kNamedTargets) {
    if (named.name == name) return &named;
  }
  return nullptr;
}

PyObject* set_trace(PyObject* /*module*/, PyObject* target) {
  return guarded([&]() -> PyObject* {
    if (PyUnicode_Check(target)) {
      Py_ssize_t size = 0;
      const char* name = PyUnicode_AsUTF8AndSize(target, &size);
      const NamedTarget* named =
          name != nullptr ? find_named_target({name, static_cast<size_t>(size)}) : nullptr;
      if (named == nullptr) {
        PyErr_Clear();
        return PyErr_Format(PyExc_ValueError,
                            "trace target must be 'stdout', 'stderr', 'off', 'logging', an "
                            "object with a write(str) method or a callable, not %.100R",
                            target);
      }
      set_trace_target(named->target, nullptr);
      Py_RETURN_NONE;
    }
    const int has_write = PyObject_HasAttrStringWithError(target, "write");
    if (has_write < 0) return nullptr;
    if (has_write) {
      set_trace_target(TraceTarget::kObject, target);
    } else if (PyCallable_Check(target)) {
      set_trace_target(TraceTarget::kCallable, target);
    } else {
      return PyErr_Format(PyExc_TypeError,
                          "trace target must be 'stdout', 'stderr', 'off', 'logging', an object "
                          "with a write(str) method or a callable, not %.100s",
                          Py_TYPE(target)->tp_name);
    }
    Py_RETURN_NONE;
  });
}

PyObject* get_trace(PyObject* /*module*/, PyObject* /*unused*/) {
  PyObject* object = nullptr;
  const TraceTarget target = current_trace_target(&object);
  if (object != nullptr) return object;
  for (const NamedTarget& named : kNamedTargets) {
    if (named.target == target) {
      return PyUnicode_FromStringAndSize(named.name.data(),
                                         static_cast<Py_ssize_t>(named.name.size()));
    }
  }
  Py_UNREACHABLE();
}

}  // namespace

PyMethodDef kTraceSettingMethods[] = {
    {"set_trace", set_trace, METH_O,
     PyDoc_STR("set_trace($module, target, /)\n--\n\n"
               "Send nuv's trace lines to `target`, for the whole process: \"stdout\" (file\n"
               "descriptor 1, the default), \"stderr\" (descriptor 2), \"off\", \"logging\" (one\n"
               "DEBUG record of the \"nuv\" logger per line), an object with a write(str)\n"
               "method (each line with its newline) or a callable (each line without it).\n"
               "Secrets are masked for every target. An exception raised by a Python target\n"
               "goes to sys.unraisablehook and the request goes on, except KeyboardInterrupt\n"
               "and SystemExit, which end the call.")},
    {"get_trace", get_trace, METH_NOARGS,
     PyDoc_STR("get_trace($module, /)\n--\n\n"
               "The current trace target: \"stdout\", \"stderr\", \"off\", \"logging\", or the\n"
               "object or callable given to set_trace.")},
    {nullptr, nullptr, 0, nullptr},
};

bool apply_trace_environment() {
  const char* value = std::getenv("NUV_TRACE");
  if (value == nullptr) return true;
  // Written by hand in crontabs and unit files: "Off" and "off " mean off.
  std::string_view text(value);
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return true;
  text = text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
  std::string name(text);
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (const NamedTarget* named = find_named_target(name)) {
    set_trace_target(named->target, nullptr);
    return true;
  }
  PyRef shown(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!shown) return false;
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                          "NUV_TRACE=%.100R ignored: not one of 'stdout', 'stderr', 'off', "
                          "'logging'; tracing to stdout",
                          shown.get()) == 0;
}

}  // namespace nuv
