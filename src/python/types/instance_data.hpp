// The state of a ThriftStructInstance, shared between the class itself and
// the value codec that fills and reads it.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/types/descriptors.hpp"

namespace brovane::python::types {

// The field table of instances without declared fields (made by the class
// constructor, or from a struct value of a name the map lacks). Shared, never
// changed.
const std::shared_ptr<const FieldsByName>& empty_fields_by_name();

// Frees the items of a List or Set value when none of them owns anything
// (numbers and bools, the usual content of a decoded scalar list), leaving the
// value an empty list. Destroying such items one at a time costs a call
// through the variant's table each and does nothing else, so their storage is
// released whole instead: the block goes back to the allocator it came from
// and the vector's own storage is reused for an empty one.
inline void drop_plain_items(ast::ThriftValue& value) noexcept {
  std::vector<ast::ThriftValue>* items;
  if (auto* l = value.get_if<ast::ThriftValue::List>())
    items = &l->values;
  else if (auto* s = value.get_if<ast::ThriftValue::Set>())
    items = &s->values;
  else
    return;
  if (items->capacity() == 0) return;
  for (const ast::ThriftValue& v : *items)
    if (v.kind() > ast::Kind::Double) return;
  ast::ThriftValue* block = items->data();
  const std::size_t capacity = items->capacity();
  ::new (static_cast<void*>(items)) std::vector<ast::ThriftValue>();
  std::allocator<ast::ThriftValue>().deallocate(block, capacity);
}

// One of an instance's two stores: a fixed run of per-slot entries, read
// like a vector (size, indexing, iteration). Its memory belongs to the
// InstanceData holding it.
template <class T>
class SlotArray {
 public:
  std::size_t size() const noexcept { return n_; }
  bool empty() const noexcept { return n_ == 0; }
  T& operator[](std::size_t i) noexcept { return p_[i]; }
  const T& operator[](std::size_t i) const noexcept { return p_[i]; }
  T* data() noexcept { return p_; }
  const T* data() const noexcept { return p_; }
  T* begin() noexcept { return p_; }
  T* end() noexcept { return p_ + n_; }
  const T* begin() const noexcept { return p_; }
  const T* end() const noexcept { return p_ + n_; }

 private:
  friend struct InstanceData;
  T* p_ = nullptr;
  std::size_t n_ = 0;
};

// Both value stores are indexed by the slot of a name in `field_names`
// (FieldNames::find), so a field is one array access, not a hash lookup.
// A name is a field of the instance exactly when `field_names` has a slot
// for it: for descriptor-made instances the slots are the keys of
// `fields_by_name`, for constructor-made ones the keyword names.
//
// Values stored under names that are not fields cannot be represented (a
// struct value converted from a dict may carry undeclared keys); making an
// instance drops them, as no operation of the instance could reach them.
struct InstanceData {
  using StoredValue = std::optional<ast::ThriftValue>;

  // Name, field tables and map, shared with the other instances of the same
  // layout. Never null once the instance exists (new_instance_object fills
  // it in).
  LayoutRef layout;

  // Wire values, defaults, and the converted form of values set from Python.
  SlotArray<StoredValue> thrift_values;
  // Python objects set by the user or cached by reading: owned references,
  // nullptr for none. Preferred over thrift_values by readers and writers.
  // The instance takes part in cycle collection through these.
  SlotArray<PyObject*> py_values;

  InstanceData() = default;
  explicit InstanceData(LayoutRef l) noexcept : layout(std::move(l)) {}
  InstanceData(const InstanceData&) = delete;
  InstanceData& operator=(const InstanceData&) = delete;
  InstanceData(InstanceData&& o) noexcept
      : layout(std::move(o.layout)),
        thrift_values(std::exchange(o.thrift_values, {})),
        py_values(std::exchange(o.py_values, {})) {}
  InstanceData& operator=(InstanceData&& o) noexcept {
    if (this != &o) {
      free_stores();
      layout = std::move(o.layout);
      thrift_values = std::exchange(o.thrift_values, {});
      py_values = std::exchange(o.py_values, {});
    }
    return *this;
  }
  ~InstanceData() { free_stores(); }

  const std::string& struct_name() const noexcept { return layout->struct_name; }
  const std::shared_ptr<const FieldNames>& field_names() const noexcept { return layout->field_names; }
  const std::shared_ptr<const FieldsByName>& fields_by_name() const noexcept { return layout->fields_by_name; }
  const StructMap& struct_map() const noexcept { return layout->struct_map; }

  // Sizes both stores to the slot count of `field_names`, keeping the
  // entries of the slots that remain (the Python references of dropped
  // slots are released once the new stores are in place: interpreter lock
  // held). Both stores share one block of the interpreter's allocator, made
  // here (std::bad_alloc when it is exhausted).
  void size_stores() {
    const std::size_t n = layout ? layout->field_names->slot_count() : 0;
    if (n == thrift_values.n_ && n == py_values.n_) return;
    void* block = nullptr;
    if (n != 0) {
      block = PyMem_Malloc(n * (sizeof(StoredValue) + sizeof(PyObject*)));
      if (block == nullptr) [[unlikely]]
        throw std::bad_alloc();
    }
    auto* values = static_cast<StoredValue*>(block);
    auto* objects = reinterpret_cast<PyObject**>(values + n);
    if (thrift_values.n_ == 0 && py_values.n_ == 0) {
      // A new instance: nothing to carry over, nothing to release.
      for (std::size_t i = 0; i < n; ++i) ::new (values + i) StoredValue();
      std::memset(static_cast<void*>(objects), 0, n * sizeof(PyObject*));
      thrift_values.p_ = values;
      thrift_values.n_ = n;
      py_values.p_ = objects;
      py_values.n_ = n;
      return;
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (i < thrift_values.n_)
        ::new (values + i) StoredValue(std::move(thrift_values.p_[i]));
      else
        ::new (values + i) StoredValue();
      objects[i] = i < py_values.n_ ? std::exchange(py_values.p_[i], nullptr) : nullptr;
    }
    SlotArray<StoredValue> old_values = std::exchange(thrift_values, {});
    SlotArray<PyObject*> old_objects = std::exchange(py_values, {});
    thrift_values.p_ = values;
    thrift_values.n_ = n;
    py_values.p_ = objects;
    py_values.n_ = n;
    release(old_values, old_objects);  // what no slot kept
  }
  std::size_t slot_count() const noexcept { return py_values.size(); }

  // Slot of a field name, or -1 (the str overload compares interned names by
  // identity first and never leaves an exception set).
  std::int32_t find(PyObject* name) const noexcept { return layout->field_names->find(name); }
  std::int32_t find(std::string_view name) const noexcept { return layout->field_names->find(name); }

  // The declared field stored under a slot (the later one of a repeated
  // name), or nullptr when the instance has no declared fields by that name.
  const ThriftField* declared_field(std::uint32_t slot) const noexcept {
    const FieldsByName& by_name = *layout->fields_by_name;
    if (by_name.empty()) return nullptr;
    auto it = by_name.find(layout->field_names->slot_name(slot));
    return it == by_name.end() ? nullptr : &it->second;
  }

  // Drops every Python reference (interpreter lock held). Each entry is
  // cleared before its object is released, so code run by a release sees
  // no dangling pointer.
  void clear_py_values() noexcept {
    for (PyObject*& o : py_values) Py_CLEAR(o);
  }

 private:
  // Releases the Python references left in `objects` (each entry cleared
  // before its object is released), destroys the values and frees the block
  // both live in (which starts with the values).
  static void release(SlotArray<StoredValue>& values, SlotArray<PyObject*>& objects) noexcept {
    for (PyObject*& o : objects) Py_CLEAR(o);
    for (StoredValue& v : values) {
      if (v) drop_plain_items(*v);
      v.~StoredValue();
    }
    if (values.p_ != nullptr) PyMem_Free(static_cast<void*>(values.p_));
    values = {};
    objects = {};
  }
  // The instance's own stores, the same way.
  void free_stores() noexcept { release(thrift_values, py_values); }
};

}  // namespace brovane::python::types
