// Python integers into fixed widths through the interpreter's integer
// conversion (int, bool, or an object with __index__; float refused), with
// the codec's out-of-range error for values that fit 64 bits but not the
// declared width.
#pragma once

#include <Python.h>

#include <concepts>
#include <cstdint>
#include <utility>

#include "python/serde/errors.hpp"

namespace brovane::python::serde {

namespace detail {

// Everything but a small exact int: PyLong_AsLong raises the interpreter's
// TypeError or OverflowError itself.
[[gnu::noinline]] inline bool py_to_i64_slow(PyObject* o, std::int64_t& out) noexcept {
  static_assert(sizeof(long) == sizeof(std::int64_t));
  const long v = PyLong_AsLong(o);
  if (v == -1 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

}  // namespace detail

[[nodiscard]] inline bool py_to_i64(PyObject* o, std::int64_t& out) noexcept {
  if (PyLong_CheckExact(o)) [[likely]] {
    auto* l = reinterpret_cast<PyLongObject*>(o);
    if (PyUnstable_Long_IsCompact(l)) [[likely]] {
      out = static_cast<std::int64_t>(PyUnstable_Long_CompactValue(l));
      return true;
    }
  }
  return detail::py_to_i64_slow(o, out);
}

// False with an exception set on failure.
template <std::signed_integral T>
[[nodiscard]] inline bool py_to_int(PyObject* o, T& out) noexcept {
  std::int64_t v;
  if (!py_to_i64(o, v)) [[unlikely]]
    return false;
  if constexpr (sizeof(T) < sizeof(std::int64_t)) {
    if (!std::in_range<T>(v)) [[unlikely]] {
      raise_out_of_range();
      return false;
    }
  }
  out = static_cast<T>(v);
  return true;
}

}  // namespace brovane::python::serde
