// The wire type code of a declared type or of a stored value. ThriftType and
// ThriftValue number their variants alike, so one table serves both.
#pragma once

#include <array>
#include <cstddef>

#include "parser/ast.hpp"
#include "protocol/types.hpp"

namespace brovane::python::serde {

namespace detail {

using protocol::TType;

inline constexpr std::array<TType, parser::ast::kKindCount> kTTypeByKind = {
    TType::Bool,    // Bool
    TType::I08,     // Byte
    TType::I16,     // I16
    TType::I32,     // I32
    TType::I64,     // I64
    TType::Double,  // Double
    TType::String,  // String
    TType::String,  // Binary: the same on the wire
    TType::List,    // List
    TType::Set,     // Set
    TType::Map,     // Map
    TType::Struct,  // Struct: every named type
};

}  // namespace detail

constexpr protocol::TType thrift_type_to_ttype(parser::ast::Kind kind) noexcept {
  return detail::kTTypeByKind[static_cast<std::size_t>(kind)];
}
inline protocol::TType thrift_type_to_ttype(const parser::ast::ThriftType& type) noexcept {
  return detail::kTTypeByKind[type.index()];
}
inline protocol::TType thrift_type_to_ttype(const parser::ast::ThriftValue& value) noexcept {
  return detail::kTTypeByKind[value.index()];
}

}  // namespace brovane::python::serde
