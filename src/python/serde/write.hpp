// Writing Python objects straight into a protocol writer, driven by declared
// types: struct fields from dicts and struct instances, call arguments, reply
// results. No ThriftValue is built on the way; the only stored values written
// are an instance's wire values and declared defaults.
//
// Internally every function returns true, or false with a Python exception
// set. The interpreter lock is held throughout.
#pragma once

#include <Python.h>

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "parser/ast.hpp"
#include "protocol/types.hpp"
#include "python/core/status.hpp"
#include "python/serde/byte_string.hpp"
#include "python/serde/errors.hpp"
#include "python/serde/py_int.hpp"
#include "python/serde/ttype.hpp"
#include "python/serde/write_stored.hpp"
#include "python/types/descriptors.hpp"
#include "python/types/struct_instance.hpp"

namespace brovane::python::serde {

namespace detail {

using types::StructMapData;
using types::ThriftField;

// A writer operation inside a value: its error becomes OSError with the
// error's own display text.
#define BRV_WRITE(expr)                                                 \
  do {                                                                  \
    auto&& brv_write_r_ = (expr);                                       \
    if (!brv_write_r_.has_value()) [[unlikely]] {                       \
      ::brovane::python::serde::raise_protocol_error(brv_write_r_.error()); \
      return false;                                                     \
    }                                                                   \
  } while (0)

template <protocol::OutputProtocol W>
bool write_py(W& w, const ast::ThriftType& type, PyObject* o, const StructMapData& map);

template <protocol::OutputProtocol W>
bool write_fields(W& w, std::span<const ThriftField> fields, const types::FieldNames* names, PyObject* o,
                  const StructMapData& map);

[[gnu::cold, gnu::noinline]] inline bool bool_slow(PyObject* o, bool& out) {
  auto r = core::to_bool_slow(o);
  if (!r) {
    core::set_python_error(r.error());
    return false;
  }
  out = *r;
  return true;
}

template <protocol::OutputProtocol W>
bool write_bool(W& w, PyObject* o) {
  bool v;
  if (o == Py_True) {
    v = true;
  } else if (o == Py_False) {
    v = false;
  } else if (!bool_slow(o, v)) {
    return false;
  }
  BRV_WRITE(w.write_bool(v));
  return true;
}

template <protocol::OutputProtocol W>
bool write_double(W& w, PyObject* o) {
  double v;
  if (PyFloat_CheckExact(o)) [[likely]] {
    v = PyFloat_AS_DOUBLE(o);
  } else {
    v = PyFloat_AsDouble(o);  // int, __float__, __index__
    if (v == -1.0 && PyErr_Occurred()) [[unlikely]]
      return false;
  }
  BRV_WRITE(w.write_double(v));
  return true;
}

template <protocol::OutputProtocol W>
bool write_string(W& w, PyObject* o) {
  if (!PyUnicode_Check(o)) [[unlikely]] {
    raise_not_instance(o, "str");
    return false;
  }
  Py_ssize_t n;
  const char* p = PyUnicode_AsUTF8AndSize(o, &n);  // cached in the object; lone surrogates fail
  if (p == nullptr) [[unlikely]]
    return false;
  BRV_WRITE(w.write_string(std::string_view(p, static_cast<std::size_t>(n))));
  return true;
}

template <protocol::OutputProtocol W>
[[gnu::noinline]] bool write_binary_slow(W& w, PyObject* o) {
  std::string scratch;
  std::string_view bytes;
  if (!byte_string(o, scratch, bytes)) return false;
  BRV_WRITE(w.write_binary(bytes));
  return true;
}

template <protocol::OutputProtocol W>
bool write_binary(W& w, PyObject* o) {
  if (PyBytes_Check(o)) [[likely]] {
    BRV_WRITE(w.write_binary(std::string_view(PyBytes_AS_STRING(o), static_cast<std::size_t>(PyBytes_GET_SIZE(o)))));
    return true;
  }
  return write_binary_slow(w, o);
}

inline bool fits_header(Py_ssize_t n) noexcept {
  if (n > static_cast<Py_ssize_t>(std::numeric_limits<std::int32_t>::max())) [[unlikely]] {
    raise_container_too_large(n);
    return false;
  }
  return true;
}

// Leaves the interpreter's recursion count as it found it on every path.
class [[nodiscard]] RecursionGuard {
 public:
  RecursionGuard() noexcept : entered_(Py_EnterRecursiveCall(kRecursionWhere) == 0) {}
  ~RecursionGuard() {
    if (entered_) Py_LeaveRecursiveCall();
  }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
  explicit operator bool() const noexcept { return entered_; }

 private:
  bool entered_;
};

// The items of list `o` (its size `n` already written), each passed to
// `write_item` (true, or false with an exception set) with a reference held
// for the call.
template <class WriteItem>
[[gnu::always_inline]] inline bool write_list_items(PyObject* o, Py_ssize_t n, WriteItem&& write_item) {
  for (Py_ssize_t i = 0; i < n; ++i) {
    // An element's own conversion (__index__, __float__) may run Python
    // code that changes the list; the count is already written.
    if (PyList_GET_SIZE(o) != n) [[unlikely]] {
      raise_changed_size("list");
      return false;
    }
    PyObject* item = PyList_GET_ITEM(o, i);
    Py_INCREF(item);
    const bool ok = write_item(item);
    Py_DECREF(item);
    if (!ok) [[unlikely]]
      return false;
  }
  return true;
}

template <protocol::OutputProtocol W, class T>
[[gnu::always_inline]] inline bool write_int(W& w, PyObject* o) {
  T v;
  if (!py_to_int(o, v)) [[unlikely]]
    return false;
  if constexpr (sizeof(T) == 1) {
    BRV_WRITE(w.write_i8(v));
  } else if constexpr (sizeof(T) == 2) {
    BRV_WRITE(w.write_i16(v));
  } else if constexpr (sizeof(T) == 4) {
    BRV_WRITE(w.write_i32(v));
  } else {
    BRV_WRITE(w.write_i64(v));
  }
  return true;
}

template <protocol::OutputProtocol W>
bool write_struct_body(W& w, const types::ThriftStruct& d, PyObject* o, const StructMapData& map);

[[gnu::cold, gnu::noinline]] inline bool unknown_struct(const std::string& name) {
  raise_unknown_struct_in_schema(name);
  return false;
}

// Lists and sets alike; only the enclosing header tells them apart. The
// element type is dispatched on once for the whole list, and a struct
// element's descriptor looked up once (not at all for an empty list).
template <protocol::OutputProtocol W>
bool write_list(W& w, const ast::ThriftType& elem, PyObject* o, const StructMapData& map) {
  if (!PyList_Check(o)) [[unlikely]] {
    raise_not_instance(o, "list");
    return false;
  }
  const Py_ssize_t n = PyList_GET_SIZE(o);
  if (!fits_header(n)) return false;
  BRV_WRITE(w.write_list_begin(protocol::ListHeader{thrift_type_to_ttype(elem), static_cast<std::int32_t>(n)}));
  bool ok;
  {
    RecursionGuard guard;
    if (!guard) return false;
    switch (elem.kind()) {
      case ast::Kind::I32:
        ok = write_list_items(o, n, [&](PyObject* item) { return write_int<W, std::int32_t>(w, item); });
        break;
      case ast::Kind::I64:
        ok = write_list_items(o, n, [&](PyObject* item) { return write_int<W, std::int64_t>(w, item); });
        break;
      case ast::Kind::Double:
        ok = write_list_items(o, n, [&](PyObject* item) { return write_double(w, item); });
        break;
      case ast::Kind::String:
        ok = write_list_items(o, n, [&](PyObject* item) { return write_string(w, item); });
        break;
      case ast::Kind::Struct: {
        const types::ThriftStruct* d = nullptr;
        if (n > 0) {
          const std::string& name = std::get<ast::ThriftType::Struct>(elem.v).name;
          const auto it = map.find(name);
          if (it == map.end()) [[unlikely]]
            return unknown_struct(name);
          d = &it->second;
        }
        ok = write_list_items(o, n, [&](PyObject* item) { return write_struct_body(w, *d, item, map); });
        break;
      }
      default:
        ok = write_list_items(o, n, [&](PyObject* item) { return write_py(w, elem, item, map); });
        break;
    }
  }
  if (!ok) [[unlikely]]
    return false;
  BRV_WRITE(w.write_list_end());
  return true;
}

template <protocol::OutputProtocol W>
bool write_map(W& w, const ast::ThriftType::Map& type, PyObject* o, const StructMapData& map) {
  if (!PyDict_Check(o)) [[unlikely]] {
    raise_not_instance(o, "dict");
    return false;
  }
  const Py_ssize_t n = PyDict_GET_SIZE(o);
  if (!fits_header(n)) return false;
  BRV_WRITE(w.write_map_begin(protocol::MapHeader{thrift_type_to_ttype(*type.key),
                                                  thrift_type_to_ttype(*type.value), static_cast<std::int32_t>(n)}));
  {
    RecursionGuard guard;
    if (!guard) return false;
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    for (Py_ssize_t written = 0; written < n; ++written) {
      if (PyDict_GET_SIZE(o) != n || !PyDict_Next(o, &pos, &key, &value)) [[unlikely]] {
        raise_changed_size("dict");
        return false;
      }
      Py_INCREF(key);
      Py_INCREF(value);
      const bool ok = write_py(w, *type.key, key, map) && write_py(w, *type.value, value, map);
      Py_DECREF(key);
      Py_DECREF(value);
      if (!ok) [[unlikely]]
        return false;
    }
  }
  BRV_WRITE(w.write_map_end());
  return true;
}

template <protocol::OutputProtocol W>
bool write_struct_body(W& w, const types::ThriftStruct& d, PyObject* o, const StructMapData& map) {
  RecursionGuard guard;
  if (!guard) return false;
  BRV_WRITE(w.write_struct_begin());
  if (!write_fields(w, d.fields, d.field_names.get(), o, map)) return false;
  BRV_WRITE(w.write_field_stop());
  BRV_WRITE(w.write_struct_end());
  return true;
}

template <protocol::OutputProtocol W>
bool write_struct(W& w, const std::string& name, PyObject* o, const StructMapData& map) {
  const auto it = map.find(name);
  if (it == map.end()) [[unlikely]]
    return unknown_struct(name);
  return write_struct_body(w, it->second, o, map);
}

template <protocol::OutputProtocol W>
bool write_py(W& w, const ast::ThriftType& type, PyObject* o, const StructMapData& map) {
  using T = ast::ThriftType;
  switch (type.kind()) {
    case ast::Kind::Bool: return write_bool(w, o);
    case ast::Kind::Byte: return write_int<W, std::int8_t>(w, o);
    case ast::Kind::I16: return write_int<W, std::int16_t>(w, o);
    case ast::Kind::I32: return write_int<W, std::int32_t>(w, o);
    case ast::Kind::I64: return write_int<W, std::int64_t>(w, o);
    case ast::Kind::Double: return write_double(w, o);
    case ast::Kind::String: return write_string(w, o);
    case ast::Kind::Binary: return write_binary(w, o);
    case ast::Kind::List: return write_list(w, *std::get<T::List>(type.v).element, o, map);
    case ast::Kind::Set: return write_list(w, *std::get<T::Set>(type.v).element, o, map);
    case ast::Kind::Map: return write_map(w, std::get<T::Map>(type.v), o, map);
    case ast::Kind::Struct: return write_struct(w, std::get<T::Struct>(type.v).name, o, map);
  }
  return true;
}

// The declared field header; its failure is a "Write error: {}".
template <protocol::OutputProtocol W>
bool write_field_header(W& w, const ThriftField& f) {
  auto r = w.write_field_begin(protocol::FieldHeader{thrift_type_to_ttype(f.field_type), f.id});
  if (!r.has_value()) [[unlikely]] {
    raise_write_error(r.error().display());
    return false;
  }
  return true;
}

// A stored value (wire value or default) under the declared field header.
template <protocol::OutputProtocol W>
[[gnu::noinline]] bool write_stored_field(W& w, const ThriftField& f, const ast::ThriftValue& v,
                                          const StructMapData& map) {
  if (!write_field_header(w, f)) return false;
  if (auto s = write_thrift_value(w, v, map); !s) [[unlikely]] {
    raise_write_error(s.error().text);
    return false;
  }
  return true;
}

template <protocol::OutputProtocol W>
bool write_fields_from_dict(W& w, std::span<const ThriftField> fields, PyObject* d, const StructMapData& map) {
  for (const ThriftField& f : fields) {
    // Key lookup only: the dict's order, its undeclared keys and a
    // subclass's own lookup hooks play no part.
    PyObject* v = PyDict_GetItemWithError(d, f.py_name);
    if (v == nullptr) {
      if (PyErr_Occurred()) [[unlikely]]
        return false;
      if (f.default_value && !write_stored_field(w, f, *f.default_value, map)) return false;
      continue;
    }
    if (v == Py_None) {
      if (f.required) [[unlikely]] {
        raise_required_none(f.name);
        return false;
      }
      continue;
    }
    if (!write_field_header(w, f)) return false;
    // Held for the write: the value's own conversions may remove it from the dict.
    Py_INCREF(v);
    const bool ok = write_py(w, f.field_type, v, map);
    Py_DECREF(v);
    if (!ok) [[unlikely]]
      return false;
  }
  return true;
}

template <protocol::OutputProtocol W>
bool write_fields_from_instance(W& w, std::span<const ThriftField> fields, const types::FieldNames* names,
                                PyObject* o, const StructMapData& map) {
  auto view = types::read_instance(o);
  if (!view) [[unlikely]] {
    core::set_python_error(view.error());
    return false;
  }
  // Nothing can change the data while the shared borrow is held, so the
  // stored objects stay alive and in place for the whole write.
  const types::InstanceData& data = view->data();
  const types::FieldNames* own = data.field_names().get();
  // Instances made by the descriptor or decoded by it share its names, so a
  // field's slot is the instance's slot; others are matched by name.
  const bool same_slots = own != nullptr && own == names;
  for (const ThriftField& f : fields) {
    std::int32_t slot;
    if (same_slots) {
      slot = static_cast<std::int32_t>(f.slot);
    } else {
      slot = own != nullptr ? own->find(f.py_name) : -1;
      if (slot < 0) continue;
    }
    const auto s = static_cast<std::size_t>(slot);
    PyObject* py = s < data.py_values.size() ? data.py_values[s] : nullptr;
    if (py != nullptr) {
      if (py == Py_None) continue;  // set to None: left out, whatever is stored
      if (!write_field_header(w, f) || !write_py(w, f.field_type, py, map)) return false;
    } else if (s < data.thrift_values.size() && data.thrift_values[s]) {
      if (!write_stored_field(w, f, *data.thrift_values[s], map)) return false;
    }
  }
  return true;
}

template <protocol::OutputProtocol W>
bool write_fields(W& w, std::span<const ThriftField> fields, const types::FieldNames* names, PyObject* o,
                  const StructMapData& map) {
  if (PyDict_Check(o)) return write_fields_from_dict(w, fields, o, map);
  if (types::is_struct_instance(o)) return write_fields_from_instance(w, fields, names, o, map);
  raise_not_instance(o, "dict");
  return false;
}

#undef BRV_WRITE

}  // namespace detail

// Writes `value` as a value of the declared type (no field header). Errors are
// Python exceptions (PyErrSet): the declared type's refusals, the
// interpreter's conversion errors, OSError with a failing writer operation's
// text, ValueError "Unknown struct in schema: {}". Bytes written before a
// failure stay in the writer; the caller drops them.
template <protocol::OutputProtocol W>
[[nodiscard]] core::Status write_value_with_structs(W& w, const ast::ThriftType& type, PyObject* value,
                                                    const types::StructMapData& struct_map) {
  if (!detail::write_py(w, type, value, struct_map)) [[unlikely]]
    return core::py_error();
  return {};
}

// Writes the declared fields of one struct, in declaration order, from a
// ThriftStructInstance or a dict keyed by field name: field headers and
// values only; the caller begins the struct and, after success, writes the
// stop byte / ends it. `field_names` (the names the fields' slots belong to)
// lets instances that share them be read by slot; without it every field is
// looked up by name.
template <protocol::OutputProtocol W>
[[nodiscard]] core::Status serialize_struct_any(W& w, std::span<const types::ThriftField> fields, PyObject* data,
                                                const types::StructMapData& struct_map,
                                                const types::FieldNames* field_names = nullptr) {
  if (!detail::write_fields(w, fields, field_names, data, struct_map)) [[unlikely]]
    return core::py_error();
  return {};
}

}  // namespace brovane::python::serde
