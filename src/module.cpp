// The module entry point and its one initialisation step, which creates the
// fourteen classes (once per process) and publishes them, in list order, as
// module attributes and in `__all__`.
#include <Python.h>

#include "python/core/classes.hpp"
#include "python/core/extract.hpp"
#include "python/core/interned.hpp"
#include "python/core/status.hpp"

namespace brovane::python {

namespace {

using core::Ref;
using core::Result;
using core::Status;

using TypeHook = Result<Ref> (*)();

constexpr TypeHook kTypeHooks[core::kClassCount] = {
#define BRV_TYPE_HOOK(name, hook) &hook,
    BROVANE_CLASSES(BRV_TYPE_HOOK)
#undef BRV_TYPE_HOOK
};

// The interpreter whose import first built the classes. Type objects are
// shared process-wide, so another interpreter must not use them.
PyInterpreterState* g_owner = nullptr;

Result<PyTypeObject*> class_object(std::size_t i) {
  PyTypeObject*& slot = core::detail::g_types[i];
  if (slot == nullptr) {
    BRV_ASSIGN(Ref type, kTypeHooks[i]());
    slot = reinterpret_cast<PyTypeObject*>(type.release());  // kept for the process
  }
  return slot;
}

// The module's `__all__` list (borrowed by the module), made empty when absent.
Result<Ref> all_list(PyObject* module) {
  PyObject* key = core::names().dunder_all;
  Ref all = Ref::steal(PyObject_GetAttr(module, key));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return core::py_error();
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all) return core::py_error();
    BRV_CHECK(core::checked_status(PyObject_SetAttr(module, key, all.get())));
    return all;
  }
  if (!PyList_Check(all.get())) return core::not_instance(all.get(), "list");
  return all;
}

Status add_class(PyObject* module, std::size_t i) {
  BRV_ASSIGN(PyTypeObject * type, class_object(i));
  BRV_ASSIGN(Ref name, core::checked(PyUnicode_FromString(core::kClassNames[i])));
  BRV_ASSIGN(Ref all, all_list(module));
  BRV_CHECK(core::checked_status(PyList_Append(all.get(), name.get())));
  return core::checked_status(PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type)));
}

Status exec_module(PyObject* module) {
  if (!PyModule_Check(module)) return core::not_instance(module, "module");
  PyInterpreterState* interp = PyInterpreterState_Get();
  if (g_owner == nullptr) g_owner = interp;
  if (g_owner != interp) return core::raise(PyExc_ImportError, "brovane cannot be loaded in more than one interpreter");
  BRV_CHECK(core::init_interned_names());
  for (std::size_t i = 0; i < core::kClassCount; ++i) BRV_CHECK(add_class(module, i));
  return {};
}

int exec_slot(PyObject* module) noexcept {
  try {
    Status s = exec_module(module);
    if (s) return 0;
    core::set_python_error(s.error());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    core::raise_panic("module initialisation failed");
  }
  return -1;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_slot)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "brovane",
    "Apache Thrift for Python without generated code, in a natively implemented module.",
    0,  // no per-module state: the classes are process-wide
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace brovane::python

PyMODINIT_FUNC PyInit_brovane() { return PyModuleDef_Init(&brovane::python::kModule); }
