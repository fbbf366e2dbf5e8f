#include "surface/address_errors.h"

#include "common/py_ref.h"

namespace nuv {

namespace {

// Created once at import and kept for the life of the process.
PyObject* lookup_error = nullptr;
PyObject* unreadable_error = nullptr;
PyObject* refused_error = nullptr;

PyObject* make_type(PyObject* module, const char* name, const char* doc, PyObject* base) {
  const std::string qualified = std::string("nuv.") + name;
  PyObject* type = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base, nullptr);
  if (type == nullptr) return nullptr;
  if (PyModule_AddObjectRef(module, name, type) < 0) {
    Py_DECREF(type);
    return nullptr;
  }
  return type;  // kept for the life of the process
}

PyObject* text(const std::string& value) {
  return PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace");
}

PyObject* code_or_none(int code) { return code != 0 ? PyLong_FromLong(code) : Py_NewRef(Py_None); }

bool set(PyObject* error, const char* name, PyObject* owned) {
  PyRef value(owned);
  return value && PyObject_SetAttrString(error, name, value.get()) == 0;
}

}  // namespace

bool add_address_error_types(PyObject* module) {
  lookup_error =
      make_type(module, "AddressLookupError",
                "nuv.lookup_address found no address to publish. source: the source (credentials "
                "masked); family: 4 or 6; hint: what to do, or None.",
                PyExc_Exception);
  if (lookup_error == nullptr) return false;
  unreadable_error = make_type(
      module, "AddressUnreadable",
      "The source could not be read: the network, an HTTP status, a redirect refused, an "
      "answer too long, cut short or not text. status: the HTTP status answered, or None; "
      "curl_code: libcurl's code of a failed transfer, or None.",
      lookup_error);
  refused_error = make_type(
      module, "AddressRefused",
      "The source answered something that is not one global address of the family (a "
      "private, loopback, documentation... address, a zone index, an HTML page). address: what "
      "was judged; reason: why it was refused.",
      lookup_error);
  return unreadable_error != nullptr && refused_error != nullptr;
}

void raise_address_failure(const AddressFailure& failure) {
  PyRef message(text(failure.source + ": " + failure.why));
  if (!message) return;
  PyRef error(
      PyObject_CallOneArg(failure.refused ? refused_error : unreadable_error, message.get()));
  if (!error) return;
  PyObject* target = error.get();
  if (!set(target, "source", text(failure.source)) ||
      !set(target, "family", PyLong_FromLong(failure.family)) ||
      !set(target, "hint", failure.hint.empty() ? Py_NewRef(Py_None) : text(failure.hint))) {
    return;
  }
  if (failure.refused) {
    if (!set(target, "address", text(failure.address)) ||
        !set(target, "reason", text(failure.why))) {
      return;
    }
  } else if (!set(target, "status", code_or_none(failure.http_status)) ||
             !set(target, "curl_code", code_or_none(failure.curl_code))) {
    return;
  }
  if (!failure.hint.empty()) {
    PyRef hint(text(failure.hint));
    if (!hint) return;
    PyRef noted(PyObject_CallMethod(target, "add_note", "O", hint.get()));
    if (!noted) return;
  }
  PyErr_SetRaisedException(error.release());  // steals the reference
}

}  // namespace nuv
