// The state of a ThriftStructInstance, shared between the class itself and
// the value codec that fills and reads it.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/types/descriptors.hpp"

namespace brovane::python::types {

// The field table of instances without declared fields (made by the class
// constructor, or from a struct value of a name the map lacks). Shared, never
// changed.
const std::shared_ptr<const FieldsByName>& empty_fields_by_name();

// Both value stores are indexed by the slot of a name in `field_names`
// (FieldNames::find), so a field is one vector access, not a hash lookup.
// A name is a field of the instance exactly when `field_names` has a slot
// for it: for descriptor-made instances the slots are the keys of
// `fields_by_name`, for constructor-made ones the keyword names.
//
// Values stored under names that are not fields cannot be represented (a
// struct value converted from a dict may carry undeclared keys); making an
// instance drops them, as no operation of the instance could reach them.
struct InstanceData {
  std::string struct_name;
  std::shared_ptr<const FieldNames> field_names;
  std::shared_ptr<const FieldsByName> fields_by_name;  // empty for constructor-made instances
  StructMap struct_map;                                // empty for constructor-made instances

  // Wire values, defaults, and the converted form of values set from Python.
  std::vector<std::optional<ast::ThriftValue>> thrift_values;
  // Python objects set by the user or cached by reading: owned references,
  // nullptr for none. Preferred over thrift_values by readers and writers.
  // The instance takes part in cycle collection through these.
  std::vector<PyObject*> py_values;

  InstanceData() = default;
  InstanceData(const InstanceData&) = delete;
  InstanceData& operator=(const InstanceData&) = delete;
  InstanceData(InstanceData&&) noexcept = default;
  InstanceData& operator=(InstanceData&&) noexcept = default;
  ~InstanceData() { clear_py_values(); }

  // Sizes both stores to the slot count of `field_names`.
  void size_stores() {
    const std::size_t n = field_names ? field_names->slot_count() : 0;
    thrift_values.resize(n);
    py_values.resize(n, nullptr);
  }
  std::size_t slot_count() const noexcept { return py_values.size(); }

  // Slot of a field name, or -1 (the str overload compares interned names by
  // identity first and never leaves an exception set).
  std::int32_t find(PyObject* name) const noexcept { return field_names ? field_names->find(name) : -1; }
  std::int32_t find(std::string_view name) const noexcept { return field_names ? field_names->find(name) : -1; }

  // The declared field stored under a slot (the later one of a repeated
  // name), or nullptr when the instance has no declared fields by that name.
  const ThriftField* declared_field(std::uint32_t slot) const noexcept {
    if (!fields_by_name || fields_by_name->empty()) return nullptr;
    auto it = fields_by_name->find(field_names->slot_name(slot));
    return it == fields_by_name->end() ? nullptr : &it->second;
  }

  // Drops every Python reference (interpreter lock held). Each entry is
  // cleared before its object is released, so code run by a release sees
  // no dangling pointer.
  void clear_py_values() noexcept {
    for (PyObject*& o : py_values) Py_CLEAR(o);
  }
};

}  // namespace brovane::python::types
