#include "python/types/field.hpp"

#include <string>

#include "python/core/thunks.hpp"

namespace brovane::python::types {

namespace {

using core::Ref;
using core::Result;

Result<Ref> field_id(ThriftFieldObject& self) { return core::checked(PyLong_FromLong(self.value.id)); }

Result<Ref> field_name(ThriftFieldObject& self) {
  const std::string& n = self.value.name;
  return core::checked(PyUnicode_FromStringAndSize(n.data(), static_cast<Py_ssize_t>(n.size())));
}

Result<Ref> field_required(ThriftFieldObject& self) { return core::boolean(self.value.required); }

Result<Ref> field_repr(ThriftFieldObject& self) {
  const ThriftField& f = self.value;
  std::string out = "ThriftField(id=";
  out += std::to_string(f.id);
  out += ", name=";
  ast::append_debug_str(out, f.name);
  out += ", required=";
  out += f.required ? "true" : "false";
  out += ", field_type=";
  ast::append_debug(out, f.field_type);
  out += ')';
  return core::checked(PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
}

PyGetSetDef kGetSet[] = {
    core::property<&field_id>("id"),
    core::property<&field_name>("name"),
    core::property<&field_required>("required"),
    {},
};

const PyType_Slot kSlots[] = {core::unary_slot<Py_tp_repr, &field_repr>()};

}  // namespace

Result<Ref> new_field_object(const ThriftField& field) {
  return core::create<ThriftFieldObject>(ThriftField(field));
}

Result<Ref> new_field_list(std::span<const ThriftField> fields) {
  BRV_ASSIGN(Ref list, core::checked(PyList_New(static_cast<Py_ssize_t>(fields.size()))));
  for (std::size_t i = 0; i < fields.size(); ++i) {
    BRV_ASSIGN(Ref item, new_field_object(fields[i]));
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());  // steals
  }
  return list;
}

}  // namespace brovane::python::types

namespace brovane::python {

// No constructor: field objects come only from descriptors.
core::Result<core::Ref> make_thrift_field_type() {
  return core::make_type<types::ThriftFieldObject>({
      .id = core::TypeId::ThriftField,
      .getset = types::kGetSet,
      .slots = types::kSlots,
  });
}

}  // namespace brovane::python
