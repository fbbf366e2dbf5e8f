// Building JSON bodies with json-c without leaks: each new value is owned by
// a JsonTree until a container takes it, and a failed allocation throws
// std::bad_alloc (turned into MemoryError at the method boundary).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/json_tree.h"

namespace nuv {

JsonTree json_new_object();
JsonTree json_new_array();
JsonTree json_new_string(std::string_view text);
JsonTree json_new_int(int32_t value);
JsonTree json_new_bool(bool value);
// A finite number: a whole one within 64 bits as an integer, any other in
// the shortest text that reads back the same (json-c's own would print
// 59.999 as 59.999000000000002).
JsonTree json_new_number(double value);
// A number as JSON (and Python) write it: a whole one without a fraction,
// any other in the shortest text that reads back the same.
std::string json_number_text(double value);

// Members keep their insertion order.
void json_add_member(const JsonTree& object, const char* key, JsonTree value);
void json_add_item(const JsonTree& array, JsonTree value);

// The tree as text, with json-c's JSON_C_TO_STRING_* flags: SPACED alone is
// json-c's default one-line form, with PRETTY one member per line.
std::string json_text(const JsonTree& root, int flags);

}  // namespace nuv
