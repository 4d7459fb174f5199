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

// An exact int of one or two digits read in place: every value below 2**60
// in magnitude, which covers ids, timestamps and most stored numbers. The
// layout (a tag of sign and digit count, then 30-bit digits) is that of the
// interpreter versions this builds for; others take the interpreter's own
// conversion for everything beyond one digit.
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000 && PyLong_SHIFT == 30
#define BRV_LONG_DIGITS_IN_PLACE 1
#else
#define BRV_LONG_DIGITS_IN_PLACE 0
#endif

[[nodiscard]] inline bool py_to_i64(PyObject* o, std::int64_t& out) noexcept {
  if (PyLong_CheckExact(o)) [[likely]] {
    auto* l = reinterpret_cast<PyLongObject*>(o);
    if (PyUnstable_Long_IsCompact(l)) [[likely]] {
      out = static_cast<std::int64_t>(PyUnstable_Long_CompactValue(l));
      return true;
    }
#if BRV_LONG_DIGITS_IN_PLACE
    const std::uintptr_t tag = l->long_value.lv_tag;
    if ((tag >> _PyLong_NON_SIZE_BITS) == 2) {
      const std::uint64_t magnitude =
          std::uint64_t{l->long_value.ob_digit[0]} | (std::uint64_t{l->long_value.ob_digit[1]} << PyLong_SHIFT);
      const auto v = static_cast<std::int64_t>(magnitude);  // below 2**60
      out = (tag & _PyLong_SIGN_MASK) == 2 ? -v : v;
      return true;
    }
#endif
  }
  return detail::py_to_i64_slow(o, out);
}

#undef BRV_LONG_DIGITS_IN_PLACE

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
