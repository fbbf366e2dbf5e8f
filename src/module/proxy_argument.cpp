#include "module/proxy_argument.h"

#include <string>

#include "common/text.h"

namespace nuv {

bool read_proxy_argument(PyObject* value, ProxyChoice& proxy) {
  if (value == Py_None) {
    proxy.source = ProxySource::kEnvironment;
    return true;
  }
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "proxy must be a str or None, not %.200s",
                 Py_TYPE(value)->tp_name);
    return false;
  }
  if (!utf8_of_secret(value, proxy.text, "proxy")) return false;
  if (proxy.text.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "proxy must not hold a NUL character");
    return false;
  }
  proxy.source = ProxySource::kCaller;
  return true;
}

}  // namespace nuv
