#include "surface/keep.h"

namespace nuv {

namespace {

struct KeepObject {
  PyObject_HEAD
};

// Made once at import and never freed: the one instance there is.
PyObject* g_keep = nullptr;

PyObject* Keep_repr(PyObject*) { return PyUnicode_FromString("nuv.KEEP"); }

// Pickles (and copies) as a reference to the module's KEEP: still the one.
PyObject* Keep_reduce(PyObject*, PyObject*) { return PyUnicode_FromString("KEEP"); }

PyMethodDef keep_methods[] = {
    {"__reduce__", Keep_reduce, METH_NOARGS, "KEEP pickles as itself."},
    {nullptr, nullptr, 0, nullptr},
};

// Slots left out of the designated initialiser stay zero; no tp_new: the
// one instance is made here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
// clang-format off
PyTypeObject KeepType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "nuv.KeepType",
    .tp_basicsize = sizeof(KeepObject),
    .tp_repr = Keep_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "The type of nuv.KEEP (\"keep what the existing record has\"), which has no other "
              "instance.",
    .tp_methods = keep_methods,
};
// clang-format on
#pragma GCC diagnostic pop

}  // namespace

bool add_keep(PyObject* module) {
  if (PyType_Ready(&KeepType) < 0) return false;
  if (g_keep == nullptr) {
    g_keep = reinterpret_cast<PyObject*>(PyObject_New(KeepObject, &KeepType));
    if (g_keep == nullptr) return false;
  }
  return PyModule_AddObjectRef(module, "KeepType", reinterpret_cast<PyObject*>(&KeepType)) == 0 &&
         PyModule_AddObjectRef(module, "KEEP", g_keep) == 0;
}

bool is_keep(PyObject* value) { return value != nullptr && value == g_keep; }

}  // namespace nuv
