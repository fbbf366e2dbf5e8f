// The `data` of a wanted record read from Python, and a record's data
// shown to Python.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <string>

#include "cloudflare/record_data.h"

namespace nuv {

// The data of wanted record `index` (a dict) of `type` (upper case): none
// when the type is not one the service describes with data or the record
// has no `data` (or None); else every field of the type, in its order,
// numbers as numbers (5, 5.0 and "5" alike), names without their final dot,
// other keys left out. An SRV's priority may be the record's `priority`.
// On error (a field missing or of the wrong kind), set an exception and
// return false.
bool read_wanted_data(PyObject* item, size_t index, const std::string& type,
                      std::optional<RecordData>& out);

// `data` as a dict: whole numbers as int, others as float. On error, set an
// exception and return nullptr.
PyObject* record_data_dict(const RecordData& data);

}  // namespace nuv
