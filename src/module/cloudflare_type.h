#pragma once

#include <Python.h>

namespace nuv {

// nuv.Cloudflare; readied by PyInit__nuv.
extern PyTypeObject CloudflareType;

}  // namespace nuv
