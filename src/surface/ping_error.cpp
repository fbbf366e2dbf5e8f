#include "surface/ping_error.h"

#include "common/py_ref.h"

namespace nuv {

namespace {

// Created once at import and kept for the life of the process.
PyObject* ping_error = nullptr;

PyObject* text(const std::string& value) {
  return PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace");
}

PyObject* code_or_none(int code) { return code != 0 ? PyLong_FromLong(code) : Py_NewRef(Py_None); }

bool set(PyObject* error, const char* name, PyObject* owned) {
  PyRef value(owned);
  return value && PyObject_SetAttrString(error, name, value.get()) == 0;
}

}  // namespace

bool add_ping_error_type(PyObject* module) {
  ping_error = PyErr_NewExceptionWithDoc(
      "nuv.PingError",
      "nuv.ping could not report: the network, or an answer other than 2xx. url: the ping URL, "
      "masked; status: the HTTP status answered, or None; curl_code: libcurl's code of a failed "
      "transfer, or None.",
      PyExc_Exception, nullptr);
  if (ping_error == nullptr) return false;
  if (PyModule_AddObjectRef(module, "PingError", ping_error) < 0) {
    Py_CLEAR(ping_error);
    return false;
  }
  return true;  // kept for the life of the process
}

void raise_ping_error(const std::string& shown_url, const std::string& why, int http_status,
                      int curl_code) {
  PyRef message(text(shown_url + ": " + why));
  if (!message) return;
  PyRef error(PyObject_CallOneArg(ping_error, message.get()));
  if (!error) return;
  if (!set(error.get(), "url", text(shown_url)) ||
      !set(error.get(), "status", code_or_none(http_status)) ||
      !set(error.get(), "curl_code", code_or_none(curl_code))) {
    return;
  }
  PyErr_SetRaisedException(error.release());  // steals the reference
}

}  // namespace nuv
