// Text crossing between Python objects and the C libraries: NUL-terminated
// UTF-8 in std::string.
#pragma once

#include "common/python_compat.h"

#include <string>

namespace nuv {

// UTF-8 of a str (subclasses included), strict: a lone surrogate fails.
// On error, set an exception and return false.
bool utf8_of_str(PyObject* str, std::string& out);

// UTF-8 of a str that holds a credential: a text that cannot be encoded
// raises ValueError naming `field`, never UnicodeEncodeError, whose
// arguments would carry the whole text. On error, set an exception and
// return false.
bool utf8_of_secret(PyObject* str, std::string& out, const char* field);

// UTF-8 of str(obj), strict. On error, set an exception and return false.
bool utf8_of_object(PyObject* obj, std::string& out);

// A new str decoded strictly from UTF-8 (UnicodeDecodeError otherwise).
// On error, set an exception and return nullptr.
PyObject* str_from_utf8(const std::string& text);

}  // namespace nuv
