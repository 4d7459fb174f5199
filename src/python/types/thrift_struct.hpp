// The Python class ThriftStruct: a struct descriptor, the instances it makes,
// and its serialisers.
#pragma once

#include <Python.h>

#include "python/core/borrow.hpp"
#include "python/core/classes.hpp"
#include "python/core/ref.hpp"
#include "python/core/status.hpp"
#include "python/core/type_def.hpp"
#include "python/types/descriptors.hpp"

namespace brovane::python::types {

struct ThriftStructObject {
  PyObject_HEAD
  core::BorrowFlag borrow;
  ThriftStruct value;  // the descriptor, sharing its tables with the map it came from
  static constexpr core::TypeId kTypeId = core::TypeId::ThriftStruct;
};

// A new ThriftStruct object holding `descriptor`.
[[nodiscard]] core::Result<core::Ref> new_struct_object(ThriftStruct descriptor);

}  // namespace brovane::python::types
