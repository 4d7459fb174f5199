#include "python/types/struct_instance.hpp"

#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/core/extract.hpp"
#include "python/core/thunks.hpp"
#include "python/serde/convert.hpp"

namespace brovane::python::types {

const std::shared_ptr<const FieldsByName>& empty_fields_by_name() {
  static const std::shared_ptr<const FieldsByName> empty = std::make_shared<const FieldsByName>();
  return empty;
}

namespace {

using core::Ref;
using core::Result;
using core::Status;
using Obj = ThriftStructInstanceObject;

constexpr char kCantDelete[] = "can't delete attribute";

const std::shared_ptr<const FieldNames>& no_field_names() {
  static const std::shared_ptr<const FieldNames> empty = std::make_shared<const FieldNames>();
  return empty;
}

// The state of a new instance of `d` holding its declared defaults.
InstanceData defaults_of(const ThriftStruct& d) {
  InstanceData data(d.instance_layout());
  data.size_stores();
  // A later field of a repeated name shares the slot and replaces the default.
  for (const ThriftField& f : d.fields)
    if (f.default_value && f.slot < data.thrift_values.size()) data.thrift_values[f.slot] = *f.default_value;
  return data;
}

// The stored mirror of a value set from Python: by the declared field's
// type when the instance declares one under that name, untyped otherwise.
Result<ast::ThriftValue> mirror_of(const InstanceData& d, std::uint32_t slot, PyObject* value) {
  if (const ThriftField* f = d.declared_field(slot))
    return serde::py_any_to_thrift_value_with_type(value, f->field_type, d.struct_map());
  return serde::py_any_to_thrift_value(value);
}

// Sets the Python value of a slot and follows it with the mirror; a failed
// conversion is dropped. Returns the replaced object, which the caller
// releases once it no longer holds the instance borrowed (releasing may run
// Python code).
Ref store_value(InstanceData& d, std::uint32_t slot, PyObject* value, bool keep_mirror_on_failure) {
  Ref old = Ref::steal(std::exchange(d.py_values[slot], Py_NewRef(value)));
  Result<ast::ThriftValue> r = mirror_of(d, slot, value);
  if (r) {
    d.thrift_values[slot] = std::move(*r);
  } else {
    serde::discard_error(r.error());
    if (!keep_mirror_on_failure) d.thrift_values[slot].reset();
  }
  return old;
}

// The value of a field (the caller holds the exclusive borrow): its Python
// object, made from the stored value on first read and cached, None when the
// field is unset. A stored value that cannot become a Python object (a map
// whose keys would be lists) raises that conversion's error and caches
// nothing, so the stored value stays intact for the writers.
//
// The conversion copies rather than takes the stored value apart, although
// readers and writers prefer the cached object from then on: converting an
// instance to a ThriftValue falls back to the stored value for a field whose
// object fails to convert (a cached list the caller filled with None, a
// cached nested instance borrowed elsewhere at that moment), and that fallback
// must still see the value that was read. Only objects that always convert
// back (numbers, str, bytes) could be moved out, and moving those saves
// nothing.
Result<Ref> get_field(InstanceData& d, std::uint32_t slot) {
  if (PyObject* o = d.py_values[slot]) return Ref::borrow(o);
  Ref value;
  if (const auto& stored = d.thrift_values[slot]) {
    value = Ref::steal(serde::thrift_value_to_py(*stored, d.struct_map()));
    if (!value) return core::py_error();
  } else {
    value = core::none();
  }
  Py_XSETREF(d.py_values[slot], Py_NewRef(value.get()));
  return value;
}

[[gnu::cold]] Result<std::string_view> name_text(PyObject* name) {
  if (!PyUnicode_Check(name)) return core::arg_not_instance("name", name, "str");
  Result<std::string_view> text = core::utf8(name);
  if (!text) return std::unexpected(core::arg_error("name", std::move(text).error()));
  return text;
}

[[gnu::cold, gnu::noinline]] core::Unexpected no_attribute(const InstanceData& d, PyObject* name) {
  BRV_ASSIGN(std::string_view text, name_text(name));
  std::string msg = "'";
  msg += d.struct_name();
  msg += "' object has no attribute '";
  msg += text;
  msg += '\'';
  return core::attribute_error(std::move(msg));
}

// The field path of an attribute read, after the class's own attributes.
Result<Ref> read_field(PyObject* self, PyObject* name) {
  BRV_ASSIGN(Obj * obj, core::as_self<Obj>(self));
  BRV_ASSIGN(auto borrow, core::take_borrow<core::Access::Exclusive>(obj->borrow));
  InstanceData& d = obj->value;
  const std::int32_t slot = d.find(name);
  if (slot < 0) return no_attribute(d, name);
  return get_field(d, static_cast<std::uint32_t>(slot));
}

PyObject* instance_getattro(PyObject* self, PyObject* name) noexcept {
  if (!PyUnicode_Check(name)) [[unlikely]]
    return PyObject_GenericGetAttr(self, name);  // the interpreter's TypeError
  // Only a name the class has (a method, struct_name, a special attribute)
  // needs the generic lookup; for any other the lookup would only make an
  // AttributeError to be thrown away, so fields skip it.
  if (_PyType_Lookup(Py_TYPE(self), name) != nullptr) {
    PyObject* r = PyObject_GenericGetAttr(self, name);
    if (r != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return r;
    PyErr_Clear();
  }
  return core::run([&] { return read_field(self, name); });
}

int instance_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
  return core::run_status([&]() -> Status {
    if (value == nullptr) return core::attribute_error(kCantDelete);
    BRV_ASSIGN(Obj * obj, core::as_self<Obj>(self));
    Ref replaced;  // released after the borrow
    {
      BRV_ASSIGN(auto borrow, core::take_borrow<core::Access::Exclusive>(obj->borrow));
      if (!PyUnicode_Check(name)) return core::arg_not_instance("name", name, "str");
      InstanceData& d = obj->value;
      const std::int32_t slot = d.find(name);
      if (slot < 0) return no_attribute(d, name);
      // A failed conversion removes the old mirror: no earlier wire value or
      // default may stand for the new object.
      replaced = store_value(d, static_cast<std::uint32_t>(slot), value, false);
    }
    return {};
  });
}

// The Python type a stored value would have become.
const char* py_type_name_of(const ast::ThriftValue& v) noexcept {
  switch (v.kind()) {
    case ast::Kind::Bool: return "bool";
    case ast::Kind::Byte:
    case ast::Kind::I16:
    case ast::Kind::I32:
    case ast::Kind::I64: return "int";
    case ast::Kind::Double: return "float";
    case ast::Kind::String: return "str";
    case ast::Kind::Binary: return "bytes";
    case ast::Kind::List:
    case ast::Kind::Set: return "list";
    case ast::Kind::Map: return "dict";
    case ast::Kind::Struct: return "ThriftStructInstance";
  }
  return "object";
}

// The pending exception goes to the unraisable-exception hook, reported
// against `culprit`; the text stands in its place.
Result<Ref> unprintable(PyObject* culprit, const char* type_name) {
  PyErr_WriteUnraisable(culprit);
  return core::checked(PyUnicode_FromFormat("<unprintable %s object>", type_name));
}

Result<Ref> repr_of_field(InstanceData& d, std::uint32_t slot) {
  Result<Ref> value = get_field(d, slot);
  if (!value) {
    // The stored value cannot become a Python object, so it has no repr.
    core::set_python_error(value.error());
    const auto& stored = d.thrift_values[slot];
    return unprintable(d.field_names()->slot_py_name(slot), stored ? py_type_name_of(*stored) : "object");
  }
  if (PyObject* r = PyObject_Repr(value->get())) return Ref::steal(r);
  PyObject* exc = PyErr_GetRaisedException();  // the repr's, to be reported
  std::string type_name = Py_TYPE(value->get())->tp_name;
  if (PyObject* n = PyType_GetName(Py_TYPE(value->get()))) {
    if (const char* text = PyUnicode_AsUTF8(n)) type_name = text;
    Py_DECREF(n);
  }
  PyErr_Clear();
  PyErr_SetRaisedException(exc);
  return unprintable(value->get(), type_name.c_str());
}

Result<Ref> instance_repr(Obj& self) {
  InstanceData& d = self.value;
  BRV_ASSIGN(Ref parts, core::checked(PyList_New(0)));
  auto add = [&](PyObject* part) -> Status {
    Ref p = Ref::steal(part);
    if (!p) return core::py_error();
    return core::checked_status(PyList_Append(parts.get(), p.get()));
  };
  const std::string& struct_name = d.struct_name();
  BRV_TRY(add(PyUnicode_FromStringAndSize(struct_name.data(), static_cast<Py_ssize_t>(struct_name.size()))));
  BRV_TRY(add(PyUnicode_FromString("(")));
  const FieldNames& names = *d.field_names();
  const std::size_t n = names.size();
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t slot = names.slot_of_position(i);
    BRV_TRY(add(PyUnicode_FromFormat(i == 0 ? "%U=" : ", %U=", names.slot_py_name(slot))));
    BRV_ASSIGN(Ref r, repr_of_field(d, slot));
    BRV_TRY(add(r.release()));
  }
  BRV_TRY(add(PyUnicode_FromString(")")));
  BRV_ASSIGN(Ref empty, core::checked(PyUnicode_FromStringAndSize("", 0)));
  return core::checked(PyUnicode_Join(empty.get(), parts.get()));
}

Result<Ref> struct_name_getter(Obj& self) {
  const std::string& s = self.value.struct_name();
  return core::checked(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

Result<Ref> field_names_method(Obj& self) {
  const FieldNames& names = *self.value.field_names();
  const std::size_t n = names.size();
  BRV_ASSIGN(Ref list, core::checked(PyList_New(static_cast<Py_ssize_t>(n))));
  for (std::size_t i = 0; i < n; ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(names.slot_py_name(names.slot_of_position(i))));
  return list;
}

// One key per slot, in slot order: the order of the names' first
// occurrences, so a repeated name keeps its first place.
Result<Ref> to_dict_method(Obj& self) {
  InstanceData& d = self.value;
  const FieldNames& names = *d.field_names();
  PyObject* tmpl = names.dict_template();
  BRV_ASSIGN(Ref dict, core::checked(tmpl != nullptr ? PyDict_Copy(tmpl) : PyDict_New()));
  const std::size_t n = names.slot_count();
  for (std::size_t slot = 0; slot < n; ++slot) {
    const auto s = static_cast<std::uint32_t>(slot);
    BRV_ASSIGN(Ref value, get_field(d, s));
    if (tmpl != nullptr && value.get() == Py_None) continue;  // already the template's value
    BRV_TRY(core::checked_status(PyDict_SetItem(dict.get(), names.slot_py_name(s), value.get())));
  }
  return dict;
}

core::Signature kNew{"ThriftStructInstance.__new__()", {"struct_name"}, 1, core::VarKeywords::Collect};

// ThriftStructInstance(struct_name, **kwargs): the keyword names, in call
// order, become the instance's fields and their values its Python values.
Result<Ref> instance_new(PyTypeObject* type, const core::Args<1>& a) {
  BRV_ASSIGN(std::string_view struct_name, core::arg_utf8(a[0], "struct_name"));
  PyObject* kwargs = a.kwargs.get();
  std::vector<std::string> names;
  if (kwargs != nullptr) {
    names.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(kwargs)));
    Py_ssize_t pos = 0;
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    while (PyDict_Next(kwargs, &pos, &k, &v)) {
      BRV_ASSIGN(std::string_view name, core::utf8(k));
      names.emplace_back(name);
    }
  }
  std::shared_ptr<const FieldNames> field_names = FieldNames::make(std::move(names));
  if (!field_names) return core::py_error();
  InstanceData d(make_layout(struct_name, std::move(field_names), nullptr, nullptr));
  d.size_stores();
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    while (PyDict_Next(kwargs, &pos, &k, &v)) {
      const std::int32_t slot = d.find(k);
      if (slot >= 0) Py_XSETREF(d.py_values[static_cast<std::size_t>(slot)], Py_NewRef(v));
    }
  }
  return core::create<Obj>(type, std::move(d));
}

// Cycle collection: py_values may hold any object, the instance itself
// included (inst.a = inst, or a list holding it).
int instance_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  for (PyObject* o : as_struct_instance(self)->value.py_values) Py_VISIT(o);
  return 0;
}

int instance_clear(PyObject* self) noexcept {
  as_struct_instance(self)->value.clear_py_values();
  return 0;
}

void instance_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  // Chains of instances holding instances are released iteratively.
  Py_TRASHCAN_BEGIN(self, instance_dealloc)
  PyTypeObject* tp = Py_TYPE(self);
  Obj* o = as_struct_instance(self);
  std::destroy_at(&o->value);
  std::destroy_at(&o->borrow);
  tp->tp_free(self);
  Py_DECREF(tp);
  Py_TRASHCAN_END
}

constexpr char kDoc[] =
    "ThriftStructInstance(struct_name, **kwargs)\n--\n\n"
    "A live instance of a Thrift struct.\n"
    "\n"
    "Fields are accessible as Python attributes (``instance.field_name``).\n"
    "Unknown attribute names raise ``AttributeError``.";

core::Signature kFieldNames{"ThriftStructInstance.field_names()"};
core::Signature kToDict{"ThriftStructInstance.to_dict()"};

PyMethodDef kMethods[] = {
    core::method<&field_names_method, kFieldNames>("field_names", "field_names($self)\n--\n\n"),
    core::method<&to_dict_method, kToDict, core::Access::Exclusive>("to_dict", "to_dict($self)\n--\n\n"),
    {},
};

PyGetSetDef kGetSet[] = {
    core::property<&struct_name_getter>("struct_name"),
    {},
};

const PyType_Slot kSlots[] = {
    core::constructor<&instance_new, kNew>(),
    core::unary_slot<Py_tp_repr, &instance_repr, core::Access::Exclusive>(),
    {Py_tp_getattro, reinterpret_cast<void*>(&instance_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(&instance_setattro)},
    {Py_tp_traverse, reinterpret_cast<void*>(&instance_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&instance_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&instance_dealloc)},
};

}  // namespace

LayoutRef make_layout(std::string_view struct_name, std::shared_ptr<const FieldNames> field_names,
                      std::shared_ptr<const FieldsByName> fields_by_name, StructMap struct_map) {
  auto layout = std::make_shared<InstanceLayout>();
  layout->struct_name = struct_name;
  layout->field_names = field_names ? std::move(field_names) : no_field_names();
  layout->fields_by_name = fields_by_name ? std::move(fields_by_name) : empty_fields_by_name();
  layout->struct_map = struct_map ? std::move(struct_map) : empty_struct_map();
  return layout;
}

const LayoutRef& empty_layout() {
  static const LayoutRef empty = make_layout({}, nullptr, nullptr, nullptr);
  return empty;
}

PyObject* new_instance_object(InstanceData&& data) {
  InstanceData local(std::move(data));
  // Every operation of the instance relies on it; fill in what a producer left out.
  if (!local.layout) [[unlikely]]
    local.layout = empty_layout();
  const std::size_t slots = local.field_names()->slot_count();
  if (local.thrift_values.size() < slots || local.py_values.size() < slots) [[unlikely]]
    local.size_stores();
  Result<Ref> r = core::create<Obj>(struct_instance_type(), std::move(local));
  if (!r) {
    core::set_python_error(r.error());
    return nullptr;
  }
  return r->release();
}

ThriftStructInstanceObject* new_blank_instance(LayoutRef layout) {
  // The state is built in place, never moved through temporaries.
  PyTypeObject* type = struct_instance_type();
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) [[unlikely]]
    return nullptr;
  Obj* o = as_struct_instance(self);
  ::new (&o->borrow) core::BorrowFlag{};
  ::new (&o->value) InstanceData(layout ? std::move(layout) : empty_layout());
  try {
    o->value.size_stores();
  } catch (const std::bad_alloc&) {
    Py_DECREF(self);
    PyErr_NoMemory();
    return nullptr;
  }
  return o;
}

ThriftStructInstanceObject* new_blank_instance(std::string_view struct_name,
                                               const std::shared_ptr<const FieldNames>& field_names,
                                               const std::shared_ptr<const FieldsByName>& fields_by_name,
                                               const StructMap& struct_map) {
  LayoutRef layout;
  try {
    layout = make_layout(struct_name, field_names, fields_by_name, struct_map);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  }
  return new_blank_instance(std::move(layout));
}

PyObject* new_instance_with_defaults(const ThriftStruct& descriptor) {
  try {
    return new_instance_object(defaults_of(descriptor));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* new_instance_from_dict(const ThriftStruct& descriptor, PyObject* dict) {
  try {
    InstanceData d = defaults_of(descriptor);
    // Conversions may run Python code that changes the dict; walking a
    // snapshot of its entries (each held) keeps the walk on live objects.
    std::vector<std::pair<Ref, Ref>> entries;
    entries.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
    Py_ssize_t pos = 0;
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    while (PyDict_Next(dict, &pos, &k, &v)) entries.emplace_back(Ref::borrow(k), Ref::borrow(v));
    for (const auto& [key, value] : entries) {
      if (!PyUnicode_Check(key.get())) continue;
      const std::int32_t slot = d.find(key.get());
      if (slot < 0) continue;
      // The replaced object is also held by the snapshot: releasing it here
      // runs no code. A failed conversion keeps the default.
      Ref replaced = store_value(d, static_cast<std::uint32_t>(slot), value.get(), true);
    }
    return new_instance_object(std::move(d));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

}  // namespace brovane::python::types

namespace brovane::python {

core::Result<core::Ref> make_thrift_struct_instance_type() {
  return core::make_type<types::ThriftStructInstanceObject>({
      .id = core::TypeId::ThriftStructInstance,
      .doc = types::kDoc,
      .methods = types::kMethods,
      .getset = types::kGetSet,
      .slots = types::kSlots,
      .gc = true,
  });
}

}  // namespace brovane::python
