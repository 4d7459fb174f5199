// TransportType (how messages are delimited on a TCP connection) and
// ProtocolType (the wire encoding): their numbers, and the conversions
// between numbers and the shared Python member objects.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "python/core/borrow.hpp"
#include "python/core/classes.hpp"
#include "python/core/ref.hpp"
#include "python/core/status.hpp"
#include "python/core/thunks.hpp"

namespace brovane::python::types {

enum class TransportType : std::uint8_t { Framed = 0, Buffered = 1 };
enum class ProtocolType : std::uint8_t { Binary = 0, Compact = 1, JSON = 2 };

struct TransportTypeObject {
  PyObject_HEAD
  core::BorrowFlag borrow;
  TransportType value;
  static constexpr core::TypeId kTypeId = core::TypeId::TransportType;
};

struct ProtocolTypeObject {
  PyObject_HEAD
  core::BorrowFlag borrow;
  ProtocolType value;
  static constexpr core::TypeId kTypeId = core::TypeId::ProtocolType;
};

// The member's name as the server's listening line shows it: "Framed", "Buffered".
constexpr std::string_view debug_name(TransportType t) noexcept {
  return t == TransportType::Buffered ? "Buffered" : "Framed";
}
constexpr std::string_view debug_name(ProtocolType p) noexcept {
  switch (p) {
    case ProtocolType::Compact: return "Compact";
    case ProtocolType::JSON: return "JSON";
    default: return "Binary";
  }
}

// The one shared object of a member (a new reference): what the class
// attributes hold and what `transport` / `protocol` getters return.
[[nodiscard]] core::Result<core::Ref> transport_type_object(TransportType t);
[[nodiscard]] core::Result<core::Ref> protocol_type_object(ProtocolType p);

// The member number of an object of the class, read under a shared borrow.
// Another object fails with the standard wrong-type TypeError, prefixed with
// the argument's name when `arg` is given.
[[nodiscard]] core::Result<TransportType> transport_type_of(PyObject* o, const char* arg = nullptr);
[[nodiscard]] core::Result<ProtocolType> protocol_type_of(PyObject* o, const char* arg = nullptr);

}  // namespace brovane::python::types

namespace brovane::python::core {

template <>
struct FromPython<types::TransportType> {
  static Result<types::TransportType> convert(PyObject* o, const char* name) { return types::transport_type_of(o, name); }
};
template <>
struct FromPython<types::ProtocolType> {
  static Result<types::ProtocolType> convert(PyObject* o, const char* name) { return types::protocol_type_of(o, name); }
};

}  // namespace brovane::python::core
