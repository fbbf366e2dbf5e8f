// Private module functions for the test suite and the benchmarks: scaling
// the policy's waits down, forgetting the rate limiter's history, and timing
// the policy's bookkeeping alone.
#pragma once

#include "common/python_compat.h"

namespace nuv {

// Added to _nuv by PyInit__nuv.
extern PyMethodDef kTestingHooks[];

}  // namespace nuv
