#include "python/core/type_def.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "python/core/interned.hpp"

namespace brovane::python::core::detail {

Result<Ref> make_type(const TypeDef& def, int basicsize, destructor dealloc) {
  std::vector<PyType_Slot> slots;
  slots.reserve(def.slots.size() + 5);
  bool has_new = false;
  bool has_dealloc = false;
  for (const PyType_Slot& s : def.slots) {
    has_new |= s.slot == Py_tp_new;
    has_dealloc |= s.slot == Py_tp_dealloc;
    slots.push_back(s);
  }
  if (!has_dealloc) slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
  if (def.doc != nullptr) slots.push_back({Py_tp_doc, const_cast<char*>(def.doc)});
  if (def.methods != nullptr) slots.push_back({Py_tp_methods, def.methods});
  if (def.getset != nullptr) slots.push_back({Py_tp_getset, def.getset});
  slots.push_back({0, nullptr});

  // Immutable: Python code may not replace a class's methods, and with them
  // __new__, which would let instances be made that the class never built.
  unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
  if (!has_new) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  if (def.gc) flags |= Py_TPFLAGS_HAVE_GC;

  // The class is registered under its bare name and has no __module__ entry.
  // Built from a bare name, the interpreter warns about the missing entry
  // (a DeprecationWarning, an error under -W error), so the type is built
  // under a dotted name and then made bare: the C-level name points past the
  // dot (the buffer stays owned by the type) and the entry is removed.
  // __name__ and __qualname__ are the bare name either way.
  const std::string dotted = std::string("brovane.") + class_name(def.id);
  PyType_Spec spec{dotted.c_str(), basicsize, 0, flags, slots.data()};
  Ref type = Ref::steal(PyType_FromSpecWithBases(&spec, def.base));
  if (!type) return py_error();
  auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
  tp->tp_name = std::strrchr(tp->tp_name, '.') + 1;
  if (PyDict_DelItem(tp->tp_dict, names().dunder_module) < 0) return py_error();
  PyType_Modified(tp);
  return type;
}

}  // namespace brovane::python::core::detail
