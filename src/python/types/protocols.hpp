// BinaryProtocol, CompactProtocol and JSONProtocol: classes whose objects hold
// nothing and which carry the static serialisation methods of their protocol.
#pragma once

#include <Python.h>

#include "python/core/borrow.hpp"
#include "python/core/classes.hpp"
#include "python/core/type_def.hpp"

namespace brovane::python::types {

template <core::TypeId Id>
struct CodecClassObject {
  PyObject_HEAD
  core::BorrowFlag borrow;
  core::Stateless value;
  static constexpr core::TypeId kTypeId = Id;
};

using BinaryProtocolObject = CodecClassObject<core::TypeId::BinaryProtocol>;
using CompactProtocolObject = CodecClassObject<core::TypeId::CompactProtocol>;
using JSONProtocolObject = CodecClassObject<core::TypeId::JSONProtocol>;

}  // namespace brovane::python::types
