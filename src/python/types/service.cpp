#include "python/types/service.hpp"

#include <string>

#include "python/core/extract.hpp"
#include "python/core/thunks.hpp"
#include "python/types/field.hpp"

namespace brovane::python::types {

namespace {

using core::Ref;
using core::Result;

Result<Ref> str_of(const std::string& s) {
  return core::checked(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

Result<Ref> new_method_list(const std::vector<PyThriftMethod>& methods) {
  BRV_ASSIGN(Ref list, core::checked(PyList_New(static_cast<Py_ssize_t>(methods.size()))));
  for (std::size_t i = 0; i < methods.size(); ++i) {
    BRV_ASSIGN(Ref item, new_method_object(methods[i]));
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());  // steals
  }
  return list;
}

Result<Ref> service_name(PyThriftServiceObject& self) { return str_of(self.value.name); }
Result<Ref> service_methods(PyThriftServiceObject& self) { return new_method_list(self.value.methods); }

core::Signature kGetMethod{"PyThriftService.get_method()", {"name"}};

Result<Ref> service_get_method(PyThriftServiceObject& self, const core::Args<1>& a) {
  BRV_ASSIGN(std::string_view name, core::arg_utf8(a[0], "name"));
  if (const PyThriftMethod* m = self.value.find_method(name)) return new_method_object(*m);
  return core::none();
}

Result<Ref> service_repr(PyThriftServiceObject& self) {
  std::string out = "ThriftService(name=";
  ast::append_debug_str(out, self.value.name);
  out += ", methods=[";
  bool first = true;
  for (const PyThriftMethod& m : self.value.methods) {
    if (!first) out += ", ";
    first = false;
    ast::append_debug_str(out, m.name);
  }
  out += "])";
  return str_of(out);
}

Result<Ref> method_name(PyThriftMethodObject& self) { return str_of(self.value.name); }
Result<Ref> method_arguments(PyThriftMethodObject& self) { return new_field_list(self.value.arguments); }
Result<Ref> method_exceptions(PyThriftMethodObject& self) { return new_field_list(self.value.exceptions); }
Result<Ref> method_oneway(PyThriftMethodObject& self) { return core::boolean(self.value.oneway); }

Result<Ref> method_repr(PyThriftMethodObject& self) {
  std::string out = "ThriftMethod(name=";
  ast::append_debug_str(out, self.value.name);
  out += ", return_type=";
  ast::append_debug(out, self.value.return_type);
  out += ')';
  return str_of(out);
}

PyMethodDef kServiceMethods[] = {
    core::method<&service_get_method, kGetMethod>("get_method", "get_method($self, name)\n--\n\n"),
    {},
};

PyGetSetDef kServiceGetSet[] = {
    core::property<&service_name>("name"),
    core::property<&service_methods>("methods"),
    {},
};

const PyType_Slot kServiceSlots[] = {core::unary_slot<Py_tp_repr, &service_repr>()};

PyGetSetDef kMethodGetSet[] = {
    core::property<&method_name>("name"),
    core::property<&method_arguments>("arguments"),
    core::property<&method_exceptions>("exceptions"),
    core::property<&method_oneway>("oneway"),
    {},
};

const PyType_Slot kMethodSlots[] = {core::unary_slot<Py_tp_repr, &method_repr>()};

}  // namespace

Result<PyThriftMethod> make_method(const ast::ThriftMethod& method) {
  PyThriftMethod m;
  m.name = method.name;
  BRV_ASSIGN(FieldSet args, make_fields(method.arguments));
  m.argument_index = make_field_index(std::span<const ThriftField>(args.fields));
  m.arguments = std::move(args.fields);
  m.argument_names = std::move(args.names);
  m.exceptions.reserve(method.exceptions.size());
  for (const ast::ThriftField& e : method.exceptions) {
    BRV_ASSIGN(ThriftField f, make_field(e));
    m.exceptions.push_back(std::move(f));
  }
  m.return_type = method.return_type;
  m.oneway = method.oneway;
  return m;
}

Result<PyThriftService> make_service(const ast::ThriftService& service) {
  PyThriftService s;
  s.name = service.name;
  s.methods.reserve(service.methods.size());
  for (const ast::ThriftMethod& m : service.methods) {
    BRV_ASSIGN(PyThriftMethod method, make_method(m));
    s.methods.push_back(std::move(method));
  }
  return s;
}

Result<Ref> new_service_object(PyThriftService service) {
  return core::create<PyThriftServiceObject>(std::move(service));
}

Result<Ref> new_method_object(PyThriftMethod method) { return core::create<PyThriftMethodObject>(std::move(method)); }

Result<PyThriftService> service_argument(PyObject* o, const char* arg) {
  BRV_ASSIGN(PyThriftServiceObject * service, core::arg_object<PyThriftServiceObject>(o, arg));
  BRV_ASSIGN(auto borrow, core::take_borrow<core::Access::Shared>(service->borrow));
  return PyThriftService(service->value);
}

}  // namespace brovane::python::types

namespace brovane::python {

// No constructors: service descriptors come only from ThriftParser.get_service.
core::Result<core::Ref> make_py_thrift_service_type() {
  return core::make_type<types::PyThriftServiceObject>({
      .id = core::TypeId::PyThriftService,
      .methods = types::kServiceMethods,
      .getset = types::kServiceGetSet,
      .slots = types::kServiceSlots,
  });
}

core::Result<core::Ref> make_py_thrift_method_type() {
  return core::make_type<types::PyThriftMethodObject>({
      .id = core::TypeId::PyThriftMethod,
      .getset = types::kMethodGetSet,
      .slots = types::kMethodSlots,
  });
}

}  // namespace brovane::python
