// The Python exceptions of the value codec and their fixed texts. Every
// function here sets the exception and is out of line: the hot paths only
// branch to them.
#pragma once

#include <Python.h>

#include <string_view>

#include "protocol/types.hpp"

namespace brovane::python::serde {

// RecursionError's tail for Python values that contain themselves:
// "maximum recursion depth exceeded while serializing a Thrift value".
inline constexpr const char kRecursionWhere[] = " while serializing a Thrift value";

// OSError with the error's display text ("IO error: {}", "Invalid type: {}",
// "Invalid field type").
[[gnu::cold, gnu::noinline]] void raise_protocol_error(const protocol::ProtocolError& e) noexcept;
// OSError "Write error: {}" / "Read error: {}".
[[gnu::cold, gnu::noinline]] void raise_write_error(std::string_view text) noexcept;
[[gnu::cold, gnu::noinline]] void raise_read_error(std::string_view text) noexcept;

// TypeError "'{}' object is not an instance of '{}'" ("'None' is not an
// instance of '{}'" for None).
[[gnu::cold, gnu::noinline]] void raise_not_instance(PyObject* o, std::string_view expected) noexcept;
// OverflowError "out of range integral type conversion attempted".
[[gnu::cold, gnu::noinline]] void raise_out_of_range() noexcept;
// ValueError "Unknown struct in schema: {}" (writing) / "Unknown struct type: {}" (reading).
[[gnu::cold, gnu::noinline]] void raise_unknown_struct_in_schema(std::string_view name) noexcept;
[[gnu::cold, gnu::noinline]] void raise_unknown_struct_type(std::string_view name) noexcept;
// TypeError "Required field '{}' cannot be None".
[[gnu::cold, gnu::noinline]] void raise_required_none(std::string_view name) noexcept;
// RuntimeError "{} changed size during iteration" ("list", "dict"): Python
// code run by the write changed a container whose count is already written.
[[gnu::cold, gnu::noinline]] void raise_changed_size(const char* what) noexcept;
// OverflowError "container of {} elements is too large for a Thrift header":
// the header's count is a signed 32-bit number.
[[gnu::cold, gnu::noinline]] void raise_container_too_large(Py_ssize_t n) noexcept;

}  // namespace brovane::python::serde
