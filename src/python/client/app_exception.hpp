// The Python exception ThriftApplicationException: the failure report that a
// server sends instead of a result.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "python/core/borrow.hpp"
#include "python/core/classes.hpp"
#include "python/core/status.hpp"
#include "python/core/type_def.hpp"

namespace brovane::python::client {

struct ThriftApplicationException {
  std::string message;
  std::int32_t type_ = 0;
};

struct ThriftApplicationExceptionObject {
  PyBaseExceptionObject base;
  core::BorrowFlag borrow;
  ThriftApplicationException value;
  static constexpr bool kExceptionBase = true;
  static constexpr core::TypeId kTypeId = core::TypeId::ThriftApplicationException;
};

// Sets ThriftApplicationException(message, type_) as the pending exception,
// made by calling the class with the two values, and returns the "already
// set" error. A message that is not valid UTF-8 is decoded with U+FFFD in
// place of the bad bytes.
[[nodiscard]] core::Unexpected raise_application_exception(std::string_view message, std::int32_t type_) noexcept;

}  // namespace brovane::python::client
