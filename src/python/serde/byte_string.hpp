// What the codec accepts where a byte string is declared: bytes and bytearray
// (subclasses too) as they are, `str` refused, any other sequence of integers
// 0..255 collected into a new buffer, everything else refused naming
// collections.abc.Sequence.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

namespace brovane::python::serde {

// TypeError "Can't extract `str` to `Vec`".
inline constexpr const char kStrNotBytes[] = "Can't extract `str` to `Vec`";

namespace detail {
[[gnu::noinline]] bool byte_string_slow(PyObject* o, std::string& scratch, std::string_view& out) noexcept;
}

// The bytes of `o`: false with a Python exception set when it is not a byte
// string. `out` views the object's own buffer for bytes and bytearray (valid
// until Python code next runs) and `scratch` for other sequences.
[[nodiscard]] inline bool byte_string(PyObject* o, std::string& scratch, std::string_view& out) noexcept {
  if (PyBytes_Check(o)) [[likely]] {
    out = std::string_view(PyBytes_AS_STRING(o), static_cast<std::size_t>(PyBytes_GET_SIZE(o)));
    return true;
  }
  return detail::byte_string_slow(o, scratch, out);
}

}  // namespace brovane::python::serde
