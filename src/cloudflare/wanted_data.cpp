#include "cloudflare/wanted_data.h"

#include <cmath>

#include "common/py_ref.h"
#include "common/text.h"

namespace nuv {

namespace {

// Whole numbers up to this size are ints in Python: a double holds them
// exactly.
constexpr double kExactWhole = 9007199254740992.0;  // 2**53

// A number field. On error, set an exception and return false.
bool read_number(PyObject* given, size_t index, const char* type, const char* key, DataValue& out) {
  out.is_number = true;
  if (PyLong_Check(given) && !PyBool_Check(given)) {
    out.number = PyLong_AsDouble(given);
    if (out.number == -1.0 && PyErr_Occurred()) return false;
    return true;
  }
  std::optional<double> number;
  if (PyFloat_Check(given)) {
    number = PyFloat_AS_DOUBLE(given);
    if (!std::isfinite(*number)) number.reset();
  } else if (PyUnicode_Check(given)) {
    DataValue text;
    if (!utf8_of_str(given, text.text)) return false;
    number = data_number(text);
  } else {
    PyErr_Format(PyExc_TypeError, "wanted record %zu: %s data '%s' must be a number, not %.200s",
                 index, type, key, Py_TYPE(given)->tp_name);
    return false;
  }
  if (!number) {
    PyErr_Format(PyExc_ValueError, "wanted record %zu: %s data '%s' is not a number: %R", index,
                 type, key, given);
    return false;
  }
  out.number = *number;
  return true;
}

// A text field (an int is taken as its digits: YAML reads a hexadecimal
// digest of digits alone as one). On error, set an exception and return
// false.
bool read_text(PyObject* given, size_t index, const char* type, const DataField& field,
               DataValue& out) {
  if (PyUnicode_Check(given)) {
    if (!utf8_of_str(given, out.text)) return false;
  } else if (PyLong_Check(given) && !PyBool_Check(given)) {
    if (!utf8_of_object(given, out.text)) return false;
  } else {
    PyErr_Format(PyExc_TypeError, "wanted record %zu: %s data '%s' must be str, not %.200s", index,
                 type, field.name, Py_TYPE(given)->tp_name);
    return false;
  }
  // Sent as the service stores it, so that it reads back the same.
  out.text = stored_text(field.kind, out.text);
  return true;
}

}  // namespace

bool read_wanted_data(PyObject* item, size_t index, const std::string& type,
                      std::optional<RecordData>& out) {
  out.reset();
  const std::span<const DataField> fields = data_fields(type);
  PyObject* data = PyDict_GetItemString(item, "data");  // borrowed
  if (fields.empty() || data == nullptr || data == Py_None) return true;
  if (!PyDict_Check(data)) {
    PyErr_Format(PyExc_TypeError, "wanted record %zu: 'data' must be a dict, not %.200s", index,
                 Py_TYPE(data)->tp_name);
    return false;
  }
  RecordData read;
  for (const DataField& field : fields) {
    PyObject* given = PyDict_GetItemString(data, field.name);  // borrowed
    if ((given == nullptr || given == Py_None) && type == "SRV" &&
        std::string_view(field.name) == "priority") {
      given = PyDict_GetItemString(item, "priority");
    }
    if (given == nullptr || given == Py_None) {
      PyErr_Format(PyExc_ValueError, "wanted record %zu: the data of a %s record needs '%s'", index,
                   type.c_str(), field.name);
      return false;
    }
    DataValue value;
    if (field.kind == DataFieldKind::kNumber
            ? !read_number(given, index, type.c_str(), field.name, value)
            : !read_text(given, index, type.c_str(), field, value)) {
      return false;
    }
    read.emplace_back(field.name, std::move(value));
  }
  out = std::move(read);
  return true;
}

PyObject* record_data_dict(const RecordData& data) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, value] : data) {
    PyRef shown;
    if (!value.is_number) {
      shown = PyRef(str_from_utf8(value.text));
    } else if (value.number == std::trunc(value.number) && std::fabs(value.number) <= kExactWhole) {
      shown = PyRef(PyLong_FromLongLong(static_cast<long long>(value.number)));
    } else {
      shown = PyRef(PyFloat_FromDouble(value.number));
    }
    if (!shown || PyDict_SetItemString(dict.get(), key.c_str(), shown.get()) < 0) return nullptr;
  }
  return dict.release();
}

}  // namespace nuv
