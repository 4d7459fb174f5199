// Parsed JSON values into Python objects by declared type: the values of the
// id-keyed JSON struct document, each beside its type name as the JSON
// protocol writer puts it. Scalars are lenient (a value of the wrong kind
// becomes a zero value); containers and structs must have the writer's
// shapes. Works on the JSON document model, not on the protocol reader.
//
// Recursion follows the value's nesting, which the JSON parser bounds, so no
// depth is counted here. All functions need the interpreter lock.
#pragma once

#include <Python.h>

#include <string>

#include "parser/ast.hpp"
#include "protocol/json_text.hpp"
#include "python/core/ref.hpp"
#include "python/core/status.hpp"
#include "python/types/descriptors.hpp"

namespace brovane::python::serde {

namespace ast = parser::ast;

// One value as a new Python object: bool, int, float, str, bytes, list (lists
// and sets), dict, or a new ThriftStructInstance whose fields hold Python
// objects. Nested struct types are resolved through `structs`, which every
// instance made here also keeps as its struct_map. Errors: TypeError
// "Expected JSON array", "Expected JSON array for map", "Map array too
// short", "Expected JSON object in map", "Expected JSON object for struct";
// ValueError "Unknown struct: {}", "Base64 error: {}". Nothing partial is
// returned.
[[nodiscard]] core::Result<core::Ref> json_value_to_py(const protocol::Json& value, const ast::ThriftType& type,
                                                       const types::StructMap& structs);

// An id-keyed struct object ({"<id>": ["<type name>", value], ...}) as a new
// ThriftStructInstance of descriptor `d` named `struct_name`: members whose
// key is not a signed 16-bit decimal count as id 0; members that are no
// array of at least two elements, or whose id `d` does not declare, are
// skipped; a later member for the same field replaces an earlier one. Only
// Python values are stored, no defaults are filled in and no required field
// is checked. Errors: those of json_value_to_py.
[[nodiscard]] core::Result<core::Ref> json_object_to_instance(const protocol::Json::object_t& object,
                                                              const types::ThriftStruct& d, std::string struct_name,
                                                              const types::StructMap& structs);

}  // namespace brovane::python::serde
