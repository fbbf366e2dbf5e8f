// _nuv.__version__ and _nuv.versions(): which nuv this is, and the C
// libraries it runs on.
#pragma once

#include "common/python_compat.h"

namespace nuv {

extern PyMethodDef kVersionMethods[];

// Sets the module's __version__. On error, sets an exception and returns
// false.
bool add_version(PyObject* module);

}  // namespace nuv
