// Taking values out of Python objects with the module's error texts: type
// checks of declared kinds, integers of each width, booleans, strings.
// `to_*` / `as_*` give the bare texts (the value codec uses them); `arg_*`
// name the argument the way argument errors do ("argument 'x': ...").
#pragma once

#include <Python.h>

#include <concepts>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "python/core/classes.hpp"
#include "python/core/ref.hpp"
#include "python/core/status.hpp"

namespace brovane::python::core {

inline constexpr const char kOutOfRange[] = "out of range integral type conversion attempted";

// The qualified name of the object's type ("int", "Outer.Inner").
std::string type_qualname(PyObject* o);

// TypeError "'{}' object is not an instance of '{}'" (or "'None' is not an
// instance of '{}'" for None).
[[nodiscard]] Unexpected not_instance(PyObject* o, std::string_view expected);
// The same with the argument prefix "argument '{}': ".
[[nodiscard]] Unexpected arg_not_instance(const char* arg, PyObject* o, std::string_view expected);
// Adds the argument prefix to a TypeError (a value, or the pending exception
// for PyErrSet, whose cause is kept); any other error passes unchanged.
[[nodiscard]] Error arg_error(const char* arg, Error error);

// An instance of one of the module's classes (subclasses accepted).
template <class Obj>
[[nodiscard]] Result<Obj*> as_object(PyObject* o) {
  if (is_instance(o, Obj::kTypeId)) [[likely]]
    return reinterpret_cast<Obj*>(o);
  return not_instance(o, class_name(Obj::kTypeId));
}
template <class Obj>
[[nodiscard]] Result<Obj*> arg_object(PyObject* o, const char* arg) {
  if (is_instance(o, Obj::kTypeId)) [[likely]]
    return reinterpret_cast<Obj*>(o);
  return arg_not_instance(arg, o, class_name(Obj::kTypeId));
}

// A `str` (subclasses accepted); the object itself, borrowed.
[[nodiscard]] inline Result<PyObject*> arg_str(PyObject* o, const char* arg) {
  if (PyUnicode_Check(o)) [[likely]]
    return o;
  return arg_not_instance(arg, o, "str");
}
// The UTF-8 text of a str (valid while the object lives). A str holding lone
// surrogates fails with the interpreter's UnicodeEncodeError.
[[nodiscard]] inline Result<std::string_view> utf8(PyObject* str) noexcept {
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(str, &n);
  if (p == nullptr) [[unlikely]]
    return py_error();
  return std::string_view(p, static_cast<std::size_t>(n));
}
[[nodiscard]] inline Result<std::string_view> arg_utf8(PyObject* o, const char* arg) {
  BRV_ASSIGN(PyObject * s, arg_str(o, arg));
  return utf8(s);
}
// A `bytes` (subclasses accepted; bytearray and memory views refused).
[[nodiscard]] inline Result<PyObject*> arg_bytes(PyObject* o, const char* arg) {
  if (PyBytes_Check(o)) [[likely]]
    return o;
  return arg_not_instance(arg, o, "bytes");
}
// A `dict` (subclasses accepted).
[[nodiscard]] inline Result<PyObject*> arg_dict(PyObject* o, const char* arg) {
  if (PyDict_Check(o)) [[likely]]
    return o;
  return arg_not_instance(arg, o, "dict");
}

// Integers through the interpreter's integer conversion: int, bool, or an
// object with __index__; float and everything else are refused with the
// interpreter's TypeError. A value beyond 64 bits fails with the
// interpreter's OverflowError, one that fits 64 bits but not T with
// OverflowError kOutOfRange.
template <std::integral T>
  requires(!std::same_as<T, bool>)
[[nodiscard]] Result<T> to_int(PyObject* o) {
  if constexpr (std::is_signed_v<T> || sizeof(T) < sizeof(long)) {
    static_assert(sizeof(long) == 8, "64-bit long expected");
    const long v = PyLong_AsLong(o);  // calls __index__ for non-int objects
    if (v == -1 && PyErr_Occurred()) [[unlikely]]
      return py_error();
    if constexpr (sizeof(T) < sizeof(long)) {
      if (!std::in_range<T>(v)) [[unlikely]]
        return overflow_error(kOutOfRange);
    }
    return static_cast<T>(v);
  } else {
    PyObject* index = PyLong_Check(o) ? Py_NewRef(o) : PyNumber_Index(o);
    if (index == nullptr) [[unlikely]]
      return py_error();
    const unsigned long long v = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) [[unlikely]]
      return py_error();
    return static_cast<T>(v);
  }
}
template <std::integral T>
  requires(!std::same_as<T, bool>)
[[nodiscard]] Result<T> arg_int(PyObject* o, const char* arg) {
  auto r = to_int<T>(o);
  if (!r) [[unlikely]]
    return std::unexpected(arg_error(arg, std::move(r).error()));
  return r;
}

// A boolean: True, False, or one of numpy's bool scalars (recognised by the
// type's module and name, without importing numpy). An int is refused with
// "'int' object is not an instance of 'bool'".
[[nodiscard]] Result<bool> to_bool_slow(PyObject* o);
[[nodiscard]] inline Result<bool> to_bool(PyObject* o) {
  if (o == Py_True) return true;
  if (o == Py_False) return false;
  return to_bool_slow(o);
}
[[nodiscard]] inline Result<bool> arg_bool(PyObject* o, const char* arg) {
  auto r = to_bool(o);
  if (!r) [[unlikely]]
    return std::unexpected(arg_error(arg, std::move(r).error()));
  return r;
}

}  // namespace brovane::python::core
