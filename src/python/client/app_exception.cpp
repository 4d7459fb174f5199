#include "python/client/app_exception.hpp"

#include "parser/ast.hpp"
#include "python/core/extract.hpp"
#include "python/core/thunks.hpp"

namespace brovane::python::client {

namespace {

using core::Ref;
using core::Result;

core::Signature kNew{"ThriftApplicationException.__new__()", {"message", "type_"}};

// The instance is made by Exception (which keeps the positional arguments as
// `args`); the initialiser inherited from it refuses keyword arguments.
Result<Ref> exception_new(PyTypeObject* type, const core::Args<2>& a) {
  ThriftApplicationException e;
  BRV_ASSIGN(std::string_view message, core::arg_utf8(a[0], "message"));
  e.message.assign(message);
  BRV_ASSIGN(e.type_, core::arg_int<std::int32_t>(a[1], "type_"));
  return core::create_exception<ThriftApplicationExceptionObject>(type, a.call_args, a.call_kwargs, std::move(e));
}

Result<Ref> new_str(std::string_view s) {
  return core::checked(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

Result<Ref> exception_repr(ThriftApplicationExceptionObject& self) {
  std::string text = "ThriftApplicationException(type=";
  text += std::to_string(self.value.type_);
  text += ", message=";
  parser::ast::append_debug_str(text, self.value.message);
  text += ')';
  return new_str(text);
}

Result<Ref> exception_str(ThriftApplicationExceptionObject& self) { return new_str(self.value.message); }

Result<Ref> get_message(ThriftApplicationExceptionObject& self) { return new_str(self.value.message); }

Result<Ref> get_type(ThriftApplicationExceptionObject& self) {
  return core::checked(PyLong_FromLong(self.value.type_));
}

constexpr char kDoc[] =
    "ThriftApplicationException(message, type_)\n--\n\n"
    "A Thrift application-level exception returned by the remote server.";

const PyType_Slot kSlots[] = {
    core::constructor<&exception_new, kNew>(),
    core::unary_slot<Py_tp_repr, &exception_repr>(),
    core::unary_slot<Py_tp_str, &exception_str>(),
};

PyGetSetDef kGetSet[] = {
    core::property<&get_message>("message", ""),
    core::property<&get_type>("type_", ""),
    {},
};

}  // namespace

core::Unexpected raise_application_exception(std::string_view message, std::int32_t type_) noexcept {
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return core::py_error();
  PyObject* args = Py_BuildValue("(Ni)", text, static_cast<int>(type_));
  if (args == nullptr) return core::py_error();
  PyErr_SetObject(reinterpret_cast<PyObject*>(core::type_object(core::TypeId::ThriftApplicationException)), args);
  Py_DECREF(args);
  return core::py_error();
}

}  // namespace brovane::python::client

namespace brovane::python {

core::Result<core::Ref> make_thrift_application_exception_type() {
  return core::make_type<client::ThriftApplicationExceptionObject>({
      .id = core::TypeId::ThriftApplicationException,
      .doc = client::kDoc,
      .getset = client::kGetSet,
      .slots = client::kSlots,
      .base = PyExc_Exception,
  });
}

}  // namespace brovane::python
