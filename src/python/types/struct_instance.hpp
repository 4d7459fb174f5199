// ThriftStructInstance: the dynamic struct value that decoding returns, that
// descriptors make, and that the writers accept beside plain dicts. Its state
// is an InstanceData; this header gives other parts of the module the object
// layout, construction, and read access under a shared borrow.
#pragma once

#include <Python.h>

#include <memory>
#include <string_view>
#include <utility>

#include "python/core/borrow.hpp"
#include "python/core/classes.hpp"
#include "python/core/ref.hpp"
#include "python/core/status.hpp"
#include "python/core/type_def.hpp"
#include "python/types/descriptors.hpp"
#include "python/types/instance_data.hpp"

namespace brovane::python::types {

struct ThriftStructInstanceObject {
  PyObject_HEAD
  core::BorrowFlag borrow;
  InstanceData value;  // the instance's state

  static constexpr core::TypeId kTypeId = core::TypeId::ThriftStructInstance;
};

// The class object (valid once the module is imported); borrowed.
inline PyTypeObject* struct_instance_type() noexcept {
  return core::type_object(core::TypeId::ThriftStructInstance);
}

// Exact class or a subclass.
inline bool is_struct_instance(PyObject* o) noexcept {
  PyTypeObject* t = struct_instance_type();
  return Py_IS_TYPE(o, t) || PyType_IsSubtype(Py_TYPE(o), t);
}

// `o` must be a struct instance (is_struct_instance).
inline ThriftStructInstanceObject* as_struct_instance(PyObject* o) noexcept {
  return reinterpret_cast<ThriftStructInstanceObject*>(o);
}

// A new instance (of the class itself) holding `data`, whose stores must be
// sized to its field_names (InstanceData::size_stores). New reference, or
// nullptr with a Python exception set. `data` is consumed either way.
PyObject* new_instance_object(InstanceData&& data);

// A new instance (of the class itself) of `layout` (null: the empty
// layout), or named `struct_name` with the given tables (null ones stand
// for the empty tables), with both stores
// sized to the slots of `field_names` and empty. The caller fills
// thrift_values before the object reaches any other code; the cycle
// collector already knows it and finds no Python objects in it. New
// reference, or nullptr with a Python exception set.
ThriftStructInstanceObject* new_blank_instance(LayoutRef layout);
ThriftStructInstanceObject* new_blank_instance(std::string_view struct_name,
                                               const std::shared_ptr<const FieldNames>& field_names,
                                               const std::shared_ptr<const FieldsByName>& fields_by_name,
                                               const StructMap& struct_map);

// The descriptor's defaults: every declared default_value copied into
// thrift_values, nothing in py_values. New reference, or nullptr with an
// exception set (exhausted memory only).
PyObject* new_instance_with_defaults(const ThriftStruct& descriptor);

// The defaults, then every entry of `dict` (a dict or subclass) whose key is a
// str naming a field: the object goes into py_values and its conversion by
// the field's declared type into thrift_values (a failed conversion is
// dropped and keeps the default). Other keys are skipped. The entries are
// taken from a snapshot made before any conversion runs, so Python code run
// by a conversion may change the dict freely. New reference, or nullptr with
// an exception set (exhausted memory only).
PyObject* new_instance_from_dict(const ThriftStruct& descriptor, PyObject* dict);

// Read access to an instance's state for the length of a shared borrow:
//
//   BRV_ASSIGN(auto view, types::read_instance(obj));   // obj: is_struct_instance
//   const types::InstanceData& d = view.data();
//
// Fails with RuntimeError "Already mutably borrowed" while the instance is
// borrowed exclusively (e.g. a value being assigned to one of its own fields
// contains the instance). Python code may run while the view is held (the
// view keeps a reference to the instance), but nothing can change the data:
// every mutating operation needs the exclusive borrow. The py_values entries
// are borrowed references owned by the instance.
class [[nodiscard]] InstanceView {
 public:
  InstanceView(InstanceView&&) noexcept = default;
  InstanceView& operator=(InstanceView&&) = delete;

  const InstanceData& data() const noexcept { return obj_->value; }
  ThriftStructInstanceObject* object() const noexcept { return obj_; }

  // Made by read_instance.
  InstanceView(core::SharedBorrow borrow, core::Ref ref, ThriftStructInstanceObject* obj) noexcept
      : ref_(std::move(ref)), borrow_(std::move(borrow)), obj_(obj) {}

 private:
  core::Ref ref_;  // declared first: dropped after the borrow is released
  core::SharedBorrow borrow_;
  ThriftStructInstanceObject* obj_;
};

[[nodiscard]] inline core::Result<InstanceView> read_instance(PyObject* o) {
  ThriftStructInstanceObject* obj = as_struct_instance(o);
  core::SharedBorrow b(obj->borrow);
  if (!b) [[unlikely]]
    return std::unexpected(core::SharedBorrow::conflict());
  return InstanceView(std::move(b), core::Ref::borrow(o), obj);
}

}  // namespace brovane::python::types
