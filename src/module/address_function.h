// nuv.lookup_address: this host's address as a source tells it, checked by
// the sanity gate.
#pragma once

#include <Python.h>

namespace nuv {

// The module's methods table entry for lookup_address.
extern PyMethodDef kAddressLookupMethods[];

}  // namespace nuv
