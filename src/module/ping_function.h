// nuv.ping: a heartbeat to a monitoring service over nuv's transport.
#pragma once

#include "common/python_compat.h"

namespace nuv {

// The module's methods table entry for ping.
extern PyMethodDef kPingMethods[];

}  // namespace nuv
