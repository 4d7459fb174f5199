// The Python class ThriftField: a read-only copy of one field descriptor
// (struct fields, method arguments and declared exceptions).
#pragma once

#include <Python.h>

#include <span>

#include "python/core/borrow.hpp"
#include "python/core/classes.hpp"
#include "python/core/ref.hpp"
#include "python/core/status.hpp"
#include "python/core/type_def.hpp"
#include "python/types/descriptors.hpp"

namespace brovane::python::types {

struct ThriftFieldObject {
  PyObject_HEAD
  core::BorrowFlag borrow;
  ThriftField value;
  static constexpr core::TypeId kTypeId = core::TypeId::ThriftField;
};

// A new ThriftField object holding a copy of `field`.
[[nodiscard]] core::Result<core::Ref> new_field_object(const ThriftField& field);
// A new list of new ThriftField objects, one copy per field, in order.
[[nodiscard]] core::Result<core::Ref> new_field_list(std::span<const ThriftField> fields);

}  // namespace brovane::python::types
