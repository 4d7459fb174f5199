// Service descriptors: the records behind PyThriftService and PyThriftMethod,
// and the copy of a service that clients and servers take into themselves.
// Plain owned values: copying one copies its methods and fields (the
// immutable argument index and name table are shared by copies).
#pragma once

#include <Python.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "parser/ast.hpp"
#include "python/core/borrow.hpp"
#include "python/core/classes.hpp"
#include "python/core/ref.hpp"
#include "python/core/status.hpp"
#include "python/core/type_def.hpp"
#include "python/types/descriptors.hpp"

namespace brovane::python::types {

struct PyThriftMethod {
  std::string name;
  std::vector<ThriftField> arguments;   // declaration order; `slot` indexes argument_names
  std::vector<ThriftField> exceptions;  // declaration order
  ast::ThriftType return_type;          // Struct("void") for void
  FieldIndex argument_index;            // argument id to position; a repeated id keeps the last
  bool oneway = false;
  // The argument names with their slots: the server stores decoded
  // arguments by slot and passes them to the handler under slot_py_name.
  std::shared_ptr<const FieldNames> argument_names;

  // The first argument with this id, by argument_index; nullptr if none.
  const ThriftField* argument_by_id(std::int16_t id) const noexcept {
    const std::int32_t p = argument_index.find(id);
    return p < 0 ? nullptr : &arguments[static_cast<std::size_t>(p)];
  }
};

struct PyThriftService {
  std::string name;
  std::vector<PyThriftMethod> methods;  // declaration order, inherited first; repeats kept

  // The first method of this name, or nullptr.
  const PyThriftMethod* find_method(std::string_view method_name) const noexcept {
    for (const PyThriftMethod& m : methods)
      if (m.name == method_name) return &m;
    return nullptr;
  }
};

struct PyThriftServiceObject {
  PyObject_HEAD
  core::BorrowFlag borrow;
  PyThriftService value;
  static constexpr core::TypeId kTypeId = core::TypeId::PyThriftService;
};

struct PyThriftMethodObject {
  PyObject_HEAD
  core::BorrowFlag borrow;
  PyThriftMethod value;
  static constexpr core::TypeId kTypeId = core::TypeId::PyThriftMethod;
};

// Builders from the parsed records. Need the interpreter lock (names are
// interned).
core::Result<PyThriftMethod> make_method(const ast::ThriftMethod& method);
core::Result<PyThriftService> make_service(const ast::ThriftService& service);

// New PyThriftService / PyThriftMethod objects holding the given records.
core::Result<core::Ref> new_service_object(PyThriftService service);
core::Result<core::Ref> new_method_object(PyThriftMethod method);

// The `service` argument of the client and server constructors: checks that
// `o` is a PyThriftService (TypeError naming `arg` otherwise), takes a shared
// borrow of it for the copy (RuntimeError "Already mutably borrowed"), and
// returns a copy that the caller owns.
[[nodiscard]] core::Result<PyThriftService> service_argument(PyObject* o, const char* arg);

}  // namespace brovane::python::types
