// Helpers shared by the fuzz targets: a check that stops the run with a
// readable reason (libFuzzer then saves the input), and strict JSON reading.
#pragma once

#include <json-c/json.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/json_tree.h"

#define FUZZ_CHECK(condition)                                                              \
  do {                                                                                     \
    if (!(condition)) {                                                                    \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                        \
    }                                                                                      \
  } while (0)

namespace nuv_fuzz {

// The whole text must be one JSON value, nothing after it: a lenient parse
// would hide a body that the service refuses.
inline nuv::JsonTree parse_json_exactly(const std::string& text) {
  json_tokener* tokener = json_tokener_new();
  FUZZ_CHECK(tokener != nullptr);
  json_object* root =
      json_tokener_parse_ex(tokener, text.data(), static_cast<int>(text.size()));
  const bool complete = json_tokener_get_error(tokener) == json_tokener_success &&
                        json_tokener_get_parse_end(tokener) == text.size();
  json_tokener_free(tokener);
  nuv::JsonTree tree(root);
  if (!complete) {
    std::fprintf(stderr, "not one JSON value: %s\n", text.c_str());
    std::abort();
  }
  return tree;
}

// A member that must be there, of the given type.
inline json_object* member(json_object* object, const char* key, json_type type) {
  json_object* value = nullptr;
  FUZZ_CHECK(json_object_object_get_ex(object, key, &value));
  FUZZ_CHECK(json_object_is_type(value, type));
  return value;
}

// A string member's bytes, embedded NULs included.
inline std::string_view string_member(json_object* object, const char* key) {
  json_object* value = member(object, key, json_type_string);
  return {json_object_get_string(value), static_cast<size_t>(json_object_get_string_len(value))};
}

inline size_t member_count(json_object* object) {
  return static_cast<size_t>(json_object_object_length(object));
}

}  // namespace nuv_fuzz
