// nuv.set_trace / nuv.get_trace: the module-level functions that choose the
// trace target, and the NUV_TRACE variable read at import.
#pragma once

#include "common/python_compat.h"

namespace nuv {

// The module's methods table entries for set_trace and get_trace.
extern PyMethodDef kTraceSettingMethods[];

// Applies NUV_TRACE ("stdout", "stderr", "off", "logging") when set. An
// unknown value keeps the default and warns (RuntimeWarning). On error
// (the warning raised as an exception), set an exception and return false.
bool apply_trace_environment();

}  // namespace nuv
