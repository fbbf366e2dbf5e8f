#include "module/testing_hooks.h"

#include <chrono>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "common/guard.h"
#include "common/py_ref.h"
#include "common/request_settings.h"
#include "transport/interruption.h"
#include "transport/rate_limiter.h"
#include "transport/retry_policy.h"
#include "transport/shared_state.h"

namespace nuv {

namespace {

// _set_wait_scale(scale): every backoff, Retry-After wait, rate-limit window
// and pause is multiplied by `scale` (1.0 restores the documented times).
PyObject* set_wait_scale_hook(PyObject*, PyObject* arg) {
  const double scale = PyFloat_AsDouble(arg);
  if (scale == -1.0 && PyErr_Occurred()) return nullptr;
  if (!(scale > 0.0 && scale <= 1.0)) {
    PyErr_SetString(PyExc_ValueError, "scale must be more than 0 and at most 1");
    return nullptr;
  }
  set_wait_scale(scale);
  Py_RETURN_NONE;
}

// _policy_bookkeeping_ns(iterations): nanoseconds per request of what the
// policy adds when nothing fails (signal check, the token's window, the
// answer's classification), measured without any transfer.
PyObject* policy_bookkeeping_hook(PyObject*, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    const long iterations = PyLong_AsLong(arg);
    if (iterations == -1 && PyErr_Occurred()) return nullptr;
    if (iterations <= 0 || iterations > kMaxRateLimit) {
      PyErr_SetString(PyExc_ValueError, "iterations must be from 1 to 1000000");
      return nullptr;
    }
    const std::string token = "bench-token";
    forget_rate_history();  // every run starts with an empty window
    HttpResult answer{200, "{}"};
    answer.answered = true;
    long retried = 0;
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < iterations; ++i) {
      if (PyErr_CheckSignals() < 0) return nullptr;
      RateSlot slot;
      HttpResult refused;
      if (acquire_rate_slot(rate_key(token, 300.0), kMaxRateLimit, slot, refused) !=
          SlotGrant::kGranted) {
        return nullptr;
      }
      const Failure failure = classify_failure(answer);
      retried += may_retry(RequestKind::kRead, failure) ? 1 : 0;
      slot.finish(0, &answer);
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (retried != 0) return PyErr_Format(PyExc_AssertionError, "a 200 was retried");
    return PyFloat_FromDouble(std::chrono::duration<double, std::nano>(elapsed).count() /
                              static_cast<double>(iterations));
  });
}

// _forget_rate_limits(): every token's window and pause start afresh.
PyObject* forget_rate_limits_hook(PyObject*, PyObject*) {
  forget_rate_history();
  Py_RETURN_NONE;
}

// The str items of `sequence` as UTF-8 into `out`; false with an exception
// set when it is not a list or tuple of str.
bool utf8_items(PyObject* sequence, std::vector<std::string>& out) {
  PyRef items(PySequence_Fast(sequence, "expected a list of paths"));
  if (!items) return false;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    const char* text = PyUnicode_AsUTF8(PySequence_Fast_GET_ITEM(items.get(), i));
    if (text == nullptr) return false;
    out.emplace_back(text);
  }
  return true;
}

// _set_system_trust_places(directories, files): where the system's trust
// store is looked for from the next request on; (None, None) restores the
// usual places.
PyObject* set_system_trust_places_hook(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* directories = nullptr;
    PyObject* files = nullptr;
    if (!PyArg_ParseTuple(args, "OO:_set_system_trust_places", &directories, &files)) {
      return nullptr;
    }
    std::vector<std::string> directory_list;
    std::vector<std::string> file_list;
    const bool usual = directories == Py_None && files == Py_None;
    if (!usual && (!utf8_items(directories, directory_list) || !utf8_items(files, file_list))) {
      return nullptr;
    }
    replace_system_store_places(std::move(directory_list), std::move(file_list), usual);
    Py_RETURN_NONE;
  });
}

}  // namespace

PyMethodDef kTestingHooks[] = {
    {"_set_system_trust_places", set_system_trust_places_hook, METH_VARARGS, nullptr},
    {"_forget_rate_limits", forget_rate_limits_hook, METH_NOARGS, nullptr},
    {"_set_wait_scale", set_wait_scale_hook, METH_O, nullptr},
    {"_policy_bookkeeping_ns", policy_bookkeeping_hook, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace nuv
