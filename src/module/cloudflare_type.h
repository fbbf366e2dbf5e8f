#pragma once

#include "common/python_compat.h"

namespace nuv {

// nuv.Cloudflare; readied by PyInit__nuv.
extern PyTypeObject CloudflareType;

}  // namespace nuv
