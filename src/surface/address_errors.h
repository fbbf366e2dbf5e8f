// The exceptions of nuv.lookup_address, created when _nuv is imported:
//   AddressLookupError(Exception)   .source .family .hint
//     AddressUnreadable             the source could not be read; .status .curl_code
//     AddressRefused                it answered no publishable address; .address .reason
// Messages name the source with its credentials masked.
#pragma once

#include <Python.h>

#include <string>

namespace nuv {

// Creates the types and adds them to `module`. On error, set an exception
// and return false.
bool add_address_error_types(PyObject* module);

// What went wrong, as plain values.
struct AddressFailure {
  bool refused = false;  // AddressRefused, else AddressUnreadable
  std::string source;    // masked
  int family = 4;
  std::string why;      // one line
  std::string address;  // refused: what was judged
  int http_status = 0;  // unreadable: 0 for none
  int curl_code = 0;    // unreadable: 0 for none
  std::string hint;     // "" for none
};

// Raises the matching exception ("<source>: <why>").
void raise_address_failure(const AddressFailure& failure);

}  // namespace nuv
