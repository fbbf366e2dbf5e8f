// nuv.KEEP: the value that says "keep what the existing record has" for an
// attribute of the reconciliation (proxied, ttl, comment).
#pragma once

#include "common/python_compat.h"

namespace nuv {

// Creates the sentinel and adds it (as KEEP) and its type (as KeepType) to
// `module`. On error, set an exception and return false.
bool add_keep(PyObject* module);

// Whether `value` is the sentinel.
bool is_keep(PyObject* value);

}  // namespace nuv
