// What untrusted wire data may cost a reader: how deep values may nest and how
// much room a container count may reserve before its elements are read.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "parser/ast.hpp"
#include "protocol/binary.hpp"
#include "protocol/compact.hpp"
#include "protocol/types.hpp"

namespace brovane::python::serde {

// Structs and containers nested in one another, counted from the outermost
// struct body (level 1). The JSON parser stops at 128 levels by itself; for
// Binary and Compact this bound keeps recursion off the end of the stack.
inline constexpr int kMaxNestingDepth = 128;
inline constexpr std::string_view kNestingTooDeepText = "maximum nesting depth exceeded";

// Reported like any other malformed input (an I/O error of kind InvalidData),
// so that every caller wraps it as it wraps the reader's own errors.
[[gnu::cold, gnu::noinline]] inline protocol::ProtocolError nesting_too_deep() {
  return protocol::ProtocolError::invalid_data(std::string(kNestingTooDeepText));
}

namespace detail {

using parser::ast::Kind;

// Fewest bytes that one value of a declared kind occupies on the wire.
constexpr std::size_t binary_min_size(Kind k) noexcept {
  switch (k) {
    case Kind::Bool:
    case Kind::Byte:
    case Kind::Struct: return 1;  // a struct is at least its stop byte
    case Kind::I16: return 2;
    case Kind::I32:
    case Kind::String:
    case Kind::Binary: return 4;
    case Kind::I64:
    case Kind::Double: return 8;
    case Kind::List:
    case Kind::Set: return 5;
    case Kind::Map: return 6;
  }
  return 1;
}
// Compact integers and lengths are varints of at least one byte. A Bool may
// occupy none when its value waits in a field header, so its bound is a hint
// (reservation only grows past it, it is never trusted).
constexpr std::size_t compact_min_size(Kind k) noexcept { return k == Kind::Double ? 8 : 1; }

}  // namespace detail

// Room to reserve for `count` elements of declared kind `k`: never more than
// the remaining input could hold. Readers without a byte position (JSON, whose
// items are already parsed and bounded by the document) reserve nothing.
template <class R>
std::size_t reserve_hint(const R& r, std::int32_t count, parser::ast::Kind k) noexcept {
  if (count <= 0) return 0;
  const auto n = static_cast<std::size_t>(count);
  if constexpr (std::is_same_v<R, protocol::BinaryProtocolReader>) {
    return std::min(n, r.remaining() / detail::binary_min_size(k));
  } else if constexpr (std::is_same_v<R, protocol::CompactProtocolReader>) {
    return std::min(n, r.remaining() / detail::compact_min_size(k));
  } else {
    return 0;
  }
}

}  // namespace brovane::python::serde
