// Reading values by declared type straight into Python objects (reply results
// on the client), and struct bodies into new ThriftStructInstances (struct
// deserialisation), whose fields stay ThriftValues until first read.
//
// Internally every function returns a new reference, or nullptr with a Python
// exception set. The interpreter lock is held throughout.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <utility>

#include "parser/ast.hpp"
#include "protocol/types.hpp"
#include "python/core/ref.hpp"
#include "python/core/status.hpp"
#include "python/serde/bounds.hpp"
#include "python/serde/errors.hpp"
#include "python/serde/read_native.hpp"
#include "python/types/descriptors.hpp"
#include "python/types/instance_data.hpp"
#include "python/types/struct_instance.hpp"

namespace brovane::python::serde {

namespace detail {

// A reader operation: its error becomes OSError with the display text.
#define BRV_READ_PY(expr)                                                  \
  ({                                                                       \
    auto&& brv_read_py_r_ = (expr);                                        \
    if (!brv_read_py_r_.has_value()) [[unlikely]] {                        \
      ::brovane::python::serde::raise_protocol_error(brv_read_py_r_.error()); \
      return nullptr;                                                      \
    }                                                                      \
    *std::move(brv_read_py_r_);                                            \
  })

template <protocol::InputProtocol R>
PyObject* read_py(R& r, const ast::ThriftType& type, const types::StructMapData& map, int depth);

// A struct body decoded by descriptor `d` into a new instance. `depth` counts
// the levels open around the body. The values are read straight into the
// instance's store (no Python code runs meanwhile, and the cycle collector
// finds no objects in it); a failure releases the instance.
template <protocol::InputProtocol R>
PyObject* read_instance_body(R& r, const types::ThriftStruct& d, int depth) {
  const types::StructMapData& own_map = d.struct_map ? *d.struct_map : *types::empty_struct_map();
  types::ThriftStructInstanceObject* o = types::new_blank_instance(d.instance_layout());
  if (o == nullptr) [[unlikely]]
    return nullptr;
  core::Ref inst = core::Ref::steal(reinterpret_cast<PyObject*>(o));
  if (depth >= kMaxNestingDepth) [[unlikely]] {
    raise_read_error(value_read_error(nesting_too_deep()).text);
    return nullptr;
  }
  SlotStore store(o->value.thrift_values.data(), o->value.thrift_values.size());
  if (auto s = read_struct_body(r, d.fields, d.field_index, own_map, store, depth + 1); !s) [[unlikely]] {
    raise_read_error(s.error().text);
    return nullptr;
  }
  return inst.release();
}

template <protocol::InputProtocol R>
PyObject* read_py_list(R& r, const ast::ThriftType& elem, bool is_set, const types::StructMapData& map,
                       int depth) {
  if (depth >= kMaxNestingDepth) [[unlikely]] {
    raise_protocol_error(nesting_too_deep());
    return nullptr;
  }
  const protocol::ListHeader h = is_set ? BRV_READ_PY(r.read_set_begin()) : BRV_READ_PY(r.read_list_begin());
  // Room only for what the remaining input can hold; past that, appends.
  const std::size_t cap = reserve_hint(r, h.size, elem.kind());
  core::Ref list = core::Ref::steal(PyList_New(static_cast<Py_ssize_t>(cap)));
  if (!list) [[unlikely]]
    return nullptr;
  for (std::int32_t i = 0; i < h.size; ++i) {
    PyObject* item = read_py(r, elem, map, depth + 1);
    if (item == nullptr) [[unlikely]]
      return nullptr;  // unfilled slots are empty; the list frees what it holds
    if (static_cast<std::size_t>(i) < cap) {
      PyList_SET_ITEM(list.get(), i, item);
    } else {
      const int rc = PyList_Append(list.get(), item);
      Py_DECREF(item);
      if (rc < 0) [[unlikely]]
        return nullptr;
    }
  }
  if (is_set) {
    BRV_READ_PY(r.read_set_end());
  } else {
    BRV_READ_PY(r.read_list_end());
  }
  return list.release();
}

template <protocol::InputProtocol R>
PyObject* read_py_map(R& r, const ast::ThriftType::Map& type, const types::StructMapData& map, int depth) {
  if (depth >= kMaxNestingDepth) [[unlikely]] {
    raise_protocol_error(nesting_too_deep());
    return nullptr;
  }
  const protocol::MapHeader h = BRV_READ_PY(r.read_map_begin());
  // Presized for what the remaining input can hold, so filling never resizes.
  const std::size_t cap =
      std::min(reserve_hint(r, h.size, type.key->kind()), reserve_hint(r, h.size, type.value->kind()));
  core::Ref dict = core::Ref::steal(cap > 5 ? _PyDict_NewPresized(static_cast<Py_ssize_t>(cap)) : PyDict_New());
  if (!dict) [[unlikely]]
    return nullptr;
  for (std::int32_t i = 0; i < h.size; ++i) {
    core::Ref key = core::Ref::steal(read_py(r, *type.key, map, depth + 1));
    if (!key) [[unlikely]]
      return nullptr;
    core::Ref value = core::Ref::steal(read_py(r, *type.value, map, depth + 1));
    if (!value) [[unlikely]]
      return nullptr;
    // Item assignment: a later equal key replaces the value in place.
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) [[unlikely]]
      return nullptr;
  }
  BRV_READ_PY(r.read_map_end());
  return dict.release();
}

template <protocol::InputProtocol R>
PyObject* read_py_struct(R& r, const std::string& name, const types::StructMapData& map, int depth) {
  const auto it = map.find(name);
  if (it == map.end()) [[unlikely]] {
    raise_unknown_struct_type(name);  // nothing consumed
    return nullptr;
  }
  BRV_READ_PY(r.read_struct_begin());
  core::Ref inst = core::Ref::steal(read_instance_body(r, it->second, depth));
  if (!inst) [[unlikely]]
    return nullptr;
  BRV_READ_PY(r.read_struct_end());
  return inst.release();
}

template <protocol::InputProtocol R>
PyObject* read_py(R& r, const ast::ThriftType& type, const types::StructMapData& map, int depth) {
  using T = ast::ThriftType;
  switch (type.kind()) {
    case ast::Kind::Bool: return PyBool_FromLong(BRV_READ_PY(r.read_bool()));
    case ast::Kind::Byte: return PyLong_FromLong(BRV_READ_PY(r.read_i8()));
    case ast::Kind::I16: return PyLong_FromLong(BRV_READ_PY(r.read_i16()));
    case ast::Kind::I32: return PyLong_FromLong(BRV_READ_PY(r.read_i32()));
    case ast::Kind::I64: return PyLong_FromLongLong(BRV_READ_PY(r.read_i64()));
    case ast::Kind::Double: return PyFloat_FromDouble(BRV_READ_PY(r.read_double()));
    case ast::Kind::String: {
      const std::string_view s = BRV_READ_PY(read_text(r));
      return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
    }
    case ast::Kind::Binary: {
      const std::string_view s = BRV_READ_PY(r.read_binary_view());
      return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    }
    case ast::Kind::List: return read_py_list(r, *std::get<T::List>(type.v).element, false, map, depth);
    case ast::Kind::Set: return read_py_list(r, *std::get<T::Set>(type.v).element, true, map, depth);
    case ast::Kind::Map: return read_py_map(r, std::get<T::Map>(type.v), map, depth);
    case ast::Kind::Struct: return read_py_struct(r, std::get<T::Struct>(type.v).name, map, depth);
  }
  Py_RETURN_NONE;
}

#undef BRV_READ_PY

}  // namespace detail

// Reads the next value, by the declared type, into a new Python object (lists
// for sets, dicts for maps, ThriftStructInstances for structs). The reader
// stands at the value, after its field header. Errors: OSError with a reader
// error's display text, OSError "Read error: {}" for a struct body that
// cannot be decoded, ValueError "Unknown struct type: {}" (nothing consumed),
// the interpreter's TypeError for an unhashable map key. `depth` counts the
// structs and containers open around the value.
template <protocol::InputProtocol R>
[[nodiscard]] core::Result<core::Ref> read_value_with_structs(R& r, const ast::ThriftType& type,
                                                              const types::StructMapData& struct_map,
                                                              int depth = 0) {
  PyObject* o = detail::read_py(r, type, struct_map, depth);
  if (o == nullptr) [[unlikely]]
    return core::py_error();
  return core::Ref::steal(o);
}

// Reads the fields of one struct body by descriptor `d` (up to and including
// its Stop header; the caller begins and ends the struct) into a new
// ThriftStructInstance holding the fields present on the wire as stored
// values. Errors: OSError "Read error: {}" around the decoder's text.
template <protocol::InputProtocol R>
[[nodiscard]] core::Result<core::Ref> deserialize_struct_fields_as_instance(R& r, const types::ThriftStruct& d) {
  PyObject* o = detail::read_instance_body(r, d, 0);
  if (o == nullptr) [[unlikely]]
    return core::py_error();
  return core::Ref::steal(o);
}

}  // namespace brovane::python::serde
