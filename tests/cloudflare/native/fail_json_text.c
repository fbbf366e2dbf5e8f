/* Loaded with LD_PRELOAD into a Python process that runs the client:
 * json_object_new_string_len fails (as when memory runs out) for the text
 * named by NUV_FAIL_JSON_TEXT, once NUV_FAIL_JSON_AFTER (default 0) such
 * texts were built, so that building one particular request body throws in
 * the middle of a reconciliation. Linked with json-c so that
 * RTLD_NEXT finds the real function (the extension loads it privately). */
#define _GNU_SOURCE /* RTLD_NEXT */
#include <dlfcn.h>
#include <json-c/json.h>
#include <stdlib.h>
#include <string.h>

struct json_object* json_object_new_string_len(const char* text, const int length) {
  static struct json_object* (*real)(const char*, int);
  if (!real) real = (struct json_object * (*)(const char*, int)) dlsym(RTLD_NEXT, "json_object_new_string_len");
  const char* fail = getenv("NUV_FAIL_JSON_TEXT");
  static long seen;
  if (fail && strlen(fail) == (size_t)length && memcmp(fail, text, (size_t)length) == 0) {
    const char* after = getenv("NUV_FAIL_JSON_AFTER");
    if (seen++ >= (after ? atol(after) : 0)) return NULL;
  }
  return real(text, length);
}
