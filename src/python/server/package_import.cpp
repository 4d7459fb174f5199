#include "python/server/package_import.hpp"

#include <Python.h>

#include <string>

namespace brovane::python::server {

namespace {

using core::Ref;

// Each lost race means that another thread's import failed; a bound keeps a
// stream of such failures from holding this thread for ever.
constexpr int kAttempts = 16;

// Removes "{name}.*" from sys.modules when "{name}" itself is not there. A
// pending exception is kept.
void drop_orphaned_submodules(const char* name) {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  if (modules == nullptr || !PyDict_Check(modules)) return;
  Ref pending = Ref::steal(PyErr_GetRaisedException());
  if (PyDict_GetItemString(modules, name) == nullptr) {
    Ref prefix = Ref::steal(PyUnicode_FromString((std::string(name) + ".").c_str()));
    Ref orphans = Ref::steal(PyList_New(0));
    PyObject* key;
    PyObject* value;
    Py_ssize_t pos = 0;
    while (prefix && orphans && PyDict_Next(modules, &pos, &key, &value)) {
      if (PyUnicode_Check(key) && PyUnicode_Tailmatch(key, prefix.get(), 0, PY_SSIZE_T_MAX, -1) == 1 &&
          PyList_Append(orphans.get(), key) != 0)
        break;
    }
    // Removed after the walk: dropping a module may run code that imports.
    for (Py_ssize_t i = 0; orphans && i < PyList_GET_SIZE(orphans.get()); ++i)
      if (PyDict_DelItem(modules, PyList_GET_ITEM(orphans.get(), i)) != 0) PyErr_Clear();
  }
  PyErr_Clear();
  PyErr_SetRaisedException(pending.release());
}

// Whether the pending exception is the KeyError(name) of a lost race; it is
// cleared then, and kept otherwise.
bool lost_to_another_import(const char* name) {
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  bool lost = false;
  if (exc && Py_IS_TYPE(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_KeyError))) {
    Ref args = Ref::steal(PyObject_GetAttrString(exc.get(), "args"));
    lost = args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) == 1 &&
           PyUnicode_Check(PyTuple_GET_ITEM(args.get(), 0)) &&
           PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(args.get(), 0), name) == 0;
    PyErr_Clear();
  }
  if (!lost) PyErr_SetRaisedException(exc.release());
  return lost;
}

}  // namespace

Ref import_package(const char* name) {
  for (int attempt = 1;; ++attempt) {
    drop_orphaned_submodules(name);
    Ref module = Ref::steal(PyImport_ImportModule(name));
    if (module) return module;
    if (attempt == kAttempts || !lost_to_another_import(name)) {
      drop_orphaned_submodules(name);
      return module;
    }
  }
}

}  // namespace brovane::python::server
