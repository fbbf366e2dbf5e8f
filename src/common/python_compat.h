// The C API of Python 3.13 that the module uses, for Python 3.12 too. The
// code is written against 3.13's names; on 3.12 each is a small inline
// function with the same name, signature and contract, built from 3.12's
// API. Include this instead of <Python.h>. A 3.13 function missing here
// fails the 3.12 build (`make test-3.12`); add it here, never an `#if` at
// the call.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030D0000

#include <cstdarg>
#include <cstring>

// 1 once the interpreter is shutting down. 3.12 exports it under its old
// name.
static inline int Py_IsFinalizing() { return _Py_IsFinalizing(); }

// On success *result is a new reference (or NULL when the key is absent):
// 1 found, 0 absent; -1 with an exception set on error.
static inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result) {
  PyObject* item = PyDict_GetItemWithError(dict, key);  // borrowed
  if (item != nullptr) {
    *result = Py_NewRef(item);
    return 1;
  }
  *result = nullptr;
  return PyErr_Occurred() != nullptr ? -1 : 0;
}

// As PyDict_GetItemRef, the key given as UTF-8.
static inline int PyDict_GetItemStringRef(PyObject* dict, const char* key, PyObject** result) {
  PyObject* key_object = PyUnicode_FromString(key);
  if (key_object == nullptr) {
    *result = nullptr;
    return -1;
  }
  const int found = PyDict_GetItemRef(dict, key_object, result);
  Py_DECREF(key_object);
  return found;
}

// A new reference to the list's item, or NULL with IndexError (or
// TypeError when `list` is not a list) set.
static inline PyObject* PyList_GetItemRef(PyObject* list, Py_ssize_t index) {
  return Py_XNewRef(PyList_GetItem(list, index));
}

// The int's value as a C int; -1 with OverflowError or TypeError set when it
// does not fit or is not an int.
static inline int PyLong_AsInt(PyObject* value) { return _PyLong_AsInt(value); }

// 1 when `object` has the attribute, 0 when it has not; -1 with an exception
// set when looking it up failed otherwise.
static inline int PyObject_HasAttrStringWithError(PyObject* object, const char* name) {
  PyObject* name_object = PyUnicode_FromString(name);
  if (name_object == nullptr) return -1;
  PyObject* value = nullptr;
  const int found = _PyObject_LookupAttr(object, name_object, &value);
  Py_DECREF(name_object);
  Py_XDECREF(value);
  return found;
}

// The singletons of 3.13's Py_GetConstant. On 3.12 each of them is immortal,
// so a borrowed reference outlives any use.
enum {
  Py_CONSTANT_NONE = 0,
  Py_CONSTANT_FALSE = 1,
  Py_CONSTANT_TRUE = 2,
  Py_CONSTANT_ELLIPSIS = 3,
  Py_CONSTANT_NOT_IMPLEMENTED = 4,
  Py_CONSTANT_ZERO = 5,
  Py_CONSTANT_ONE = 6,
  Py_CONSTANT_EMPTY_STR = 7,
  Py_CONSTANT_EMPTY_BYTES = 8,
  Py_CONSTANT_EMPTY_TUPLE = 9,
};

// A new reference to the constant; NULL with SystemError set for an
// unknown one.
static inline PyObject* Py_GetConstant(unsigned int constant_id) {
  switch (constant_id) {
    case Py_CONSTANT_NONE:
      return Py_NewRef(Py_None);
    case Py_CONSTANT_FALSE:
      return Py_NewRef(Py_False);
    case Py_CONSTANT_TRUE:
      return Py_NewRef(Py_True);
    case Py_CONSTANT_ELLIPSIS:
      return Py_NewRef(Py_Ellipsis);
    case Py_CONSTANT_NOT_IMPLEMENTED:
      return Py_NewRef(Py_NotImplemented);
    case Py_CONSTANT_ZERO:
      return PyLong_FromLong(0);
    case Py_CONSTANT_ONE:
      return PyLong_FromLong(1);
    case Py_CONSTANT_EMPTY_STR:
      return PyUnicode_New(0, 0);
    case Py_CONSTANT_EMPTY_BYTES:
      return PyBytes_FromStringAndSize(nullptr, 0);
    case Py_CONSTANT_EMPTY_TUPLE:
      return PyTuple_New(0);
    default:
      PyErr_SetString(PyExc_SystemError, "invalid constant identifier");
      return nullptr;
  }
}

// A borrowed reference to the constant (never NULL for a known one).
static inline PyObject* Py_GetConstantBorrowed(unsigned int constant_id) {
  PyObject* constant = Py_GetConstant(constant_id);
  Py_XDECREF(constant);  // immortal: the reference given back costs nothing
  return constant;
}

// Hands the exception set to sys.unraisablehook with a message made as
// PyUnicode_FromFormat makes it (3.12 prefixes "Exception ignored " itself,
// so a message that starts with it reads the same on both).
static inline void PyErr_FormatUnraisable(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  PyObject* message = PyUnicode_FromFormatV(format, arguments);
  va_end(arguments);
  if (message == nullptr) {
    PyErr_WriteUnraisable(nullptr);
    return;
  }
  const char* text = PyUnicode_AsUTF8(message);
  if (text == nullptr) {
    Py_DECREF(message);
    PyErr_WriteUnraisable(nullptr);
    return;
  }
  constexpr char kPrefix[] = "Exception ignored ";
  if (std::strncmp(text, kPrefix, sizeof kPrefix - 1) == 0) text += sizeof kPrefix - 1;
  _PyErr_WriteUnraisableMsg(text, nullptr);
  Py_DECREF(message);
}

#endif  // PY_VERSION_HEX < 0x030D0000

// Whether the calling thread is the interpreter's main thread, the one that
// runs signal handlers (in a forked child: the thread that forked). Asked
// each time, since a fork changes it. Neither version has it as C API: 3.13
// tells it through _thread._get_main_thread_ident(), which 3.12 lacks but
// whose own answer it exports.
#if PY_VERSION_HEX < 0x030D0000
static inline bool nuv_in_main_thread() { return _PyOS_IsMainThread() != 0; }
#else
static inline bool nuv_in_main_thread() {
  static PyObject* main_ident_function = nullptr;  // kept for the process's life
  if (main_ident_function == nullptr) {
    // _thread is built in and always imported.
    PyObject* module = PyImport_ImportModule("_thread");
    if (module != nullptr) {
      main_ident_function = PyObject_GetAttrString(module, "_get_main_thread_ident");
      Py_DECREF(module);
    }
    if (main_ident_function == nullptr) {
      PyErr_Clear();
      return false;
    }
  }
  PyObject* ident = PyObject_CallNoArgs(main_ident_function);
  if (ident == nullptr) {
    PyErr_Clear();
    return false;
  }
  const unsigned long main_ident = PyLong_AsUnsignedLong(ident);
  Py_DECREF(ident);
  if (main_ident == static_cast<unsigned long>(-1) && PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    return false;
  }
  return main_ident == PyThread_get_thread_ident();
}
#endif
