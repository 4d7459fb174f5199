// A test entry for the Python <-> ThriftValue conversions, whose results no
// Python method shows directly (the stored mirror of a field is written only
// when the field has no Python object). Not part of the module's Python
// interface: a plain exported C symbol, called by the tests through
// ctypes.PyDLL (the interpreter lock held, a NULL result raising the pending
// exception).
#include <Python.h>

#include <string>
#include <string_view>

#include "parser/parser.hpp"
#include "python/core/thunks.hpp"
#include "python/serde/convert.hpp"
#include "python/types/descriptors.hpp"

namespace brovane::python::serde {

namespace {

using core::Ref;
using core::Result;

Result<Ref> debug_text(const ast::ThriftValue& v) {
  const std::string s = ast::to_debug_string(v);
  return core::checked(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// The declared type of field `field` of struct `T` in `idl`, with the map
// that the struct's descriptor resolves names through.
struct Declared {
  types::StructMap structs;
  const types::ThriftStruct* descriptor = nullptr;
  const types::ThriftField* field = nullptr;
};

Result<Declared> declared(const char* idl, const char* field) {
  auto doc = parser::parse_document(idl != nullptr ? idl : "");
  if (!doc) return core::value_error("bad IDL in self-test");
  BRV_ASSIGN(types::StructMap top, types::build_struct_map(&*doc));
  auto it = top->find("T");
  if (it == top->end()) return core::value_error("self-test IDL needs a struct T");
  Declared d;
  d.structs = it->second.struct_map;
  d.descriptor = &d.structs->at("T");
  for (const types::ThriftField& f : d.descriptor->fields)
    if (f.name == std::string_view(field != nullptr ? field : "")) {
      d.field = &f;
      break;
    }
  if (d.field == nullptr) return core::value_error("no such field in struct T");
  return d;
}

Result<Ref> dispatch(std::string_view what, PyObject* value, const char* idl, const char* field) {
  if (what == "untyped") {
    BRV_ASSIGN(ast::ThriftValue v, py_any_to_thrift_value(value));
    return debug_text(v);
  }
  if (what == "untyped_back") {
    BRV_ASSIGN(ast::ThriftValue v, py_any_to_thrift_value(value));
    return core::checked(thrift_value_to_py(v, types::empty_struct_map()));
  }
  BRV_ASSIGN(Declared d, declared(idl, field));
  if (what == "typed") {
    BRV_ASSIGN(ast::ThriftValue v, py_any_to_thrift_value_with_type(value, d.field->field_type, d.structs));
    return debug_text(v);
  }
  if (what == "typed_back") {
    BRV_ASSIGN(ast::ThriftValue v, py_any_to_thrift_value_with_type(value, d.field->field_type, d.structs));
    return core::checked(thrift_value_to_py(std::move(v), d.structs));
  }
  if (what == "default_back") {
    // The field's declared default as a Python object.
    if (!d.field->default_value) return core::value_error("field has no default");
    return core::checked(thrift_value_to_py(*d.field->default_value, d.structs));
  }
  return core::value_error("unknown self-test");
}

}  // namespace

}  // namespace brovane::python::serde

extern "C" [[gnu::visibility("default")]] PyObject* brovane_convert_selftest(const char* what, PyObject* value,
                                                                             const char* idl,
                                                                             const char* field) noexcept {
  using namespace brovane::python;
  return core::run([&]() -> core::Result<core::Ref> {
    return serde::dispatch(what != nullptr ? what : "", value, idl, field);
  });
}
