// Python objects to ThriftValues and back, without a protocol in between.
// Struct instances use the first two to keep their wire-ready mirror in step
// with values set from Python; attribute reads and the server's handler call
// use the third. All need the interpreter lock.
#pragma once

#include <Python.h>

#include "parser/ast.hpp"
#include "python/core/ref.hpp"
#include "python/core/status.hpp"
#include "python/types/descriptors.hpp"

namespace brovane::python::serde {

namespace ast = parser::ast;

// Picks the variant from the object's kind alone, trying in order: None
// (refused), bool, 64-bit integer (I64), float conversion (Double), str
// (String), byte string (Binary: bytes, bytearray, or a sequence of integers
// 0..255, so [97, 98] is Binary), list (List), dict (Map), struct instance
// (Struct); anything else fails with TypeError "Cannot convert Python value of
// type '{}' to ThriftValue". Refused trials leave no exception behind.
core::Result<ast::ThriftValue> py_any_to_thrift_value(PyObject* o);

// Converts by the declared type: integers checked against its width, lists
// only for List and Set, dicts only for Map, and for a Struct type an
// instance or a dict (resolved through `structs`); anything else for a Struct
// type goes by the untyped conversion.
core::Result<ast::ThriftValue> py_any_to_thrift_value_with_type(PyObject* o, const ast::ThriftType& type,
                                                                const types::StructMap& structs);

// A stored value as a new Python object: bool, int, float, str, bytes, list
// (for List and Set), dict, or a new ThriftStructInstance for a Struct (its
// fields stay ThriftValues until read). New reference, or nullptr with an
// exception set (e.g. a Map whose keys become lists: the dict's TypeError).
PyObject* thrift_value_to_py(const ast::ThriftValue& value, const types::StructMap& structs);
// The same, taking the value apart instead of copying it: a Struct's fields
// move into the new instance.
PyObject* thrift_value_to_py(ast::ThriftValue&& value, const types::StructMap& structs);

// Drops a conversion failure that the caller discards: a pending Python
// exception is cleared.
void discard_error(const core::Error& error) noexcept;

// Whether a failure must not be discarded even where conversion failures
// normally are (exhausted memory, exceeded recursion depth): discarding it
// would turn a value that could not be converted into a silently wrong one.
bool is_fatal_error(const core::Error& error) noexcept;

}  // namespace brovane::python::serde
