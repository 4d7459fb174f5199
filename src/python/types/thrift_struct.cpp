#include "python/types/thrift_struct.hpp"

#include <string>

#include "python/core/extract.hpp"
#include "python/core/thunks.hpp"
#include "python/types/field.hpp"
#include "python/types/struct_codec.hpp"
#include "python/types/struct_instance.hpp"

namespace brovane::python::types {

namespace {

using core::Ref;
using core::Result;

Result<Ref> struct_name(ThriftStructObject& self) {
  const std::string& n = self.value.name;
  return core::checked(PyUnicode_FromStringAndSize(n.data(), static_cast<Py_ssize_t>(n.size())));
}

Result<Ref> struct_fields(ThriftStructObject& self) { return new_field_list(self.value.fields); }

Result<Ref> new_instance(ThriftStructObject& self) {
  return core::checked(new_instance_with_defaults(self.value));
}

core::Signature kNewInstanceFromDict{"ThriftStruct.new_instance_from_dict()", {"items"}};

Result<Ref> new_instance_from_items(ThriftStructObject& self, const core::Args<1>& a) {
  BRV_ASSIGN(PyObject * items, core::arg_dict(a[0], "items"));
  return core::checked(new_instance_from_dict(self.value, items));
}

// Keyword arguments only; they become the instance's fields.
core::Signature<0> kCall{"ThriftStruct.__call__()", core::VarKeywords::Collect};

Result<Ref> call(ThriftStructObject& self, const core::Args<0>& a) {
  if (!a.kwargs || PyDict_GET_SIZE(a.kwargs.get()) == 0) return new_instance(self);
  return core::checked(new_instance_from_dict(self.value, a.kwargs.get()));
}

Result<Ref> struct_repr(ThriftStructObject& self) {
  std::string out = "ThriftStruct(name=";
  ast::append_debug_str(out, self.value.name);
  out += ", fields=";
  append_debug(out, std::span<const ThriftField>(self.value.fields));
  out += ')';
  return core::checked(PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
}

PyGetSetDef kGetSet[] = {
    core::property<&struct_name>("name"),
    core::property<&struct_fields>("fields"),
    {},
};

core::Signature<0> kNewInstance{"ThriftStruct.new_instance()"};

// The serialisers are the value codec's own entry points.
using FastcallFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyMethodDef fastcall(const char* name, FastcallFn fn, const char* doc) noexcept {
  return PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL | METH_KEYWORDS,
                     doc};
}

PyMethodDef kMethods[] = {
    core::method<&new_instance, kNewInstance>(
        "new_instance", "new_instance($self)\n--\n\nConstruct an empty ThriftStructInstance with all fields set to None."),
    core::method<&new_instance_from_items, kNewInstanceFromDict>("new_instance_from_dict",
                                                                 "new_instance_from_dict($self, items)\n--\n\n"),
    fastcall("serialize", &struct_serialize, kStructSerializeDoc),
    fastcall("serialize_with_protocol", &struct_serialize_with_protocol, kStructSerializeWithProtocolDoc),
    fastcall("deserialize", &struct_deserialize, kStructDeserializeDoc),
    fastcall("deserialize_with_protocol", &struct_deserialize_with_protocol, kStructDeserializeWithProtocolDoc),
    {},
};

const PyType_Slot kSlots[] = {
    core::unary_slot<Py_tp_repr, &struct_repr>(),
    core::call_slot<&call, kCall>(),
};

}  // namespace

Result<Ref> new_struct_object(ThriftStruct descriptor) { return core::create<ThriftStructObject>(std::move(descriptor)); }

}  // namespace brovane::python::types

namespace brovane::python {

// No constructor: descriptors come only from ThriftParser.get_struct.
core::Result<core::Ref> make_thrift_struct_type() {
  return core::make_type<types::ThriftStructObject>({
      .id = core::TypeId::ThriftStruct,
      .methods = types::kMethods,
      .getset = types::kGetSet,
      .slots = types::kSlots,
  });
}

}  // namespace brovane::python
