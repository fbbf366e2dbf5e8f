#include "common/text.h"

#include "common/py_ref.h"

namespace nuv {

bool utf8_of_str(PyObject* str, std::string& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return false;
  out.assign(data, static_cast<size_t>(size));
  return true;
}

bool utf8_of_secret(PyObject* str, std::string& out, const char* field) {
  if (utf8_of_str(str, out)) return true;
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
  PyErr_Clear();
  PyErr_Format(PyExc_ValueError, "%s must be text that can be encoded as UTF-8", field);
  return false;
}

bool utf8_of_object(PyObject* obj, std::string& out) {
  PyRef text(PyObject_Str(obj));
  if (!text) return false;
  return utf8_of_str(text.get(), out);
}

PyObject* str_from_utf8(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

}  // namespace nuv
