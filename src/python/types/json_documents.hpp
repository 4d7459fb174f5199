// The JSON documents that struct deserialisation with the JSON protocol
// accepts. The input is parsed as one JSON document, not read as a protocol
// stream, and takes one of two forms:
//
//   payload   {"payload": {"<field name>": <plain JSON value>, ...}, ...}
//             optionally behind a 4-byte big-endian length prefix; values
//             become stored ThriftValues, declared defaults fill the rest
//   id-keyed  {"<field id>": ["<type name>", value], ...}, what the JSON
//             protocol writer produces; values become Python objects
//
// All functions need the interpreter lock.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "parser/ast.hpp"
#include "protocol/json_text.hpp"
#include "python/core/ref.hpp"
#include "python/core/status.hpp"
#include "python/types/descriptors.hpp"

namespace brovane::python::types {

// A new ThriftStructInstance of `d` from a JSON document (the bytes of a
// bytes object, read in place). The length prefix is recognised when the
// input holds at least 4 bytes and their big-endian value is the count of
// bytes after them; both forms are then read from those bytes. Errors:
// ValueError "JSON parse error: {}" for text that is not one JSON document,
// TypeError "Expected JSON object for struct" for a document that is no
// object, ValueError "expected JSON integer" from payload values, and the
// errors of serde::json_value_to_py from id-keyed values.
[[nodiscard]] core::Result<core::Ref> deserialize_json_document(const ThriftStruct& d, std::string_view input);

// One payload value by the declared type. Integer types take integers and
// integer strings only (json_i64); everything else is lenient: a value of
// the wrong kind becomes a zero or empty value, a Binary string that is not
// base64 its own UTF-8 bytes, a struct of an unknown name or given no object
// a struct value without fields. Nested struct types are resolved through
// `structs`; absent struct fields take their declared defaults.
[[nodiscard]] core::Result<parser::ast::ThriftValue> json_payload_to_thrift_value(const protocol::Json& value,
                                                                                 const parser::ast::ThriftType& type,
                                                                                 const StructMap& structs);

// A JSON integer within the signed 64-bit range, or a string of an optional
// sign and decimal digits only within that range; anything else fails with
// ValueError "expected JSON integer".
[[nodiscard]] core::Result<std::int64_t> json_i64(const protocol::Json& value);

}  // namespace brovane::python::types
