#include "common/json_build.h"

#include <json-c/json.h>

#include <charconv>
#include <climits>
#include <cmath>
#include <new>
#include <stdexcept>

namespace nuv {

namespace {

JsonTree owned(json_object* made) {
  if (made == nullptr) throw std::bad_alloc();
  return JsonTree(made);
}

}  // namespace

JsonTree json_new_object() { return owned(json_object_new_object()); }
JsonTree json_new_array() { return owned(json_object_new_array()); }

JsonTree json_new_string(std::string_view text) {
  if (text.size() > static_cast<size_t>(INT_MAX)) throw std::length_error("text too long for JSON");
  return owned(json_object_new_string_len(text.data(), static_cast<int>(text.size())));
}

JsonTree json_new_int(int32_t value) { return owned(json_object_new_int(value)); }
JsonTree json_new_bool(bool value) { return owned(json_object_new_boolean(value ? 1 : 0)); }

JsonTree json_new_number(double value) {
  if (value == std::trunc(value) && std::fabs(value) < 9.2e18) {
    return owned(json_object_new_int64(static_cast<int64_t>(value)));
  }
  return owned(json_object_new_double_s(value, json_number_text(value).c_str()));
}

std::string json_number_text(double value) {
  if (value == std::trunc(value) && std::fabs(value) < 1e15) {
    return std::to_string(static_cast<long long>(value));
  }
  char text[32];
  const std::to_chars_result done = std::to_chars(text, text + sizeof text, value);
  return std::string(text, done.ptr);
}

// json-c takes over the value only when the insertion succeeds; otherwise
// `value` still owns it and releases it.
void json_add_member(const JsonTree& object, const char* key, JsonTree value) {
  if (json_object_object_add(object.get(), key, value.get()) != 0) throw std::bad_alloc();
  (void)value.release();  // now owned by 'object'
}

void json_add_item(const JsonTree& array, JsonTree value) {
  if (json_object_array_add(array.get(), value.get()) != 0) throw std::bad_alloc();
  (void)value.release();  // now owned by 'array'
}

std::string json_text(const JsonTree& root, int flags) {
  const char* text = json_object_to_json_string_ext(root.get(), flags);
  if (text == nullptr) throw std::bad_alloc();
  return text;
}

}  // namespace nuv
