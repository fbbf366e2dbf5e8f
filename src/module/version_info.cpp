#include "module/version_info.h"

#include "common/guard.h"
#include "common/py_ref.h"
#include "common/version.h"
#include "transport/library_versions.h"

namespace nuv {

namespace {

// versions(): {"nuv": ..., "libcurl": ..., "OpenSSL": ..., "json-c": ...}
// in that order, the libraries as loaded.
PyObject* versions_method(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    PyRef versions(PyDict_New());
    if (!versions) return nullptr;
    PyRef own(PyUnicode_FromString(kNuvVersion));
    if (!own || PyDict_SetItemString(versions.get(), "nuv", own.get()) < 0) return nullptr;
    for (const auto& [name, version] : linked_library_versions()) {
      PyRef text(
          PyUnicode_DecodeUTF8(version.data(), static_cast<Py_ssize_t>(version.size()), "replace"));
      if (!text || PyDict_SetItemString(versions.get(), name.c_str(), text.get()) < 0) {
        return nullptr;
      }
    }
    return versions.release();  // the caller's now
  });
}

}  // namespace

PyMethodDef kVersionMethods[] = {
    {"versions", versions_method, METH_NOARGS,
     "versions()\n--\n\n"
     "nuv's version and those of the C libraries it runs on, as loaded: a dict of\n"
     "name -> version, e.g. {'nuv': '0.2.0', 'libcurl': '7.88.1', 'OpenSSL': '3.0.17',\n"
     "'json-c': '0.16'}."},
    {nullptr, nullptr, 0, nullptr},
};

bool add_version(PyObject* module) {
  return PyModule_AddStringConstant(module, "__version__", kNuvVersion) == 0;
}

}  // namespace nuv
