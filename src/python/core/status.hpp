// Errors as values on the Python side of the module. A function that can fail
// returns `Status` or `Result<T>`; the error becomes a Python exception in one
// place, the thunk that returns to the interpreter (`set_python_error`).
#pragma once

#include <Python.h>

#include <cstdint>
#include <expected>
#include <string>
#include <utility>

#include "python/core/ref.hpp"

namespace brovane::python::core {

enum class ErrorKind : std::uint8_t {
  // A Python exception is already set in the thread state. The error must be
  // returned straight to the interpreter without running Python code first.
  PyErrSet,
  ValueError,
  TypeError,
  OSError,
  RuntimeError,
  OverflowError,
  AttributeError,
  MemoryError,
  // A broken internal invariant: reported on standard error and raised as the
  // module's panic exception (derived from BaseException).
  Panic,
};

struct [[nodiscard]] Error {
  ErrorKind kind = ErrorKind::PyErrSet;
  std::string text;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;
using Unexpected = std::unexpected<Error>;

// Each helper returns an error value convertible to any Result<T>:
//   return core::value_error("No document parsed yet");
[[nodiscard]] inline Unexpected py_error() noexcept { return Unexpected(Error{}); }
[[nodiscard]] inline Unexpected value_error(std::string text) { return Unexpected(Error{ErrorKind::ValueError, std::move(text)}); }
[[nodiscard]] inline Unexpected type_error(std::string text) { return Unexpected(Error{ErrorKind::TypeError, std::move(text)}); }
[[nodiscard]] inline Unexpected os_error(std::string text) { return Unexpected(Error{ErrorKind::OSError, std::move(text)}); }
[[nodiscard]] inline Unexpected runtime_error(std::string text) { return Unexpected(Error{ErrorKind::RuntimeError, std::move(text)}); }
[[nodiscard]] inline Unexpected overflow_error(std::string text) { return Unexpected(Error{ErrorKind::OverflowError, std::move(text)}); }
[[nodiscard]] inline Unexpected attribute_error(std::string text) { return Unexpected(Error{ErrorKind::AttributeError, std::move(text)}); }
[[nodiscard]] inline Unexpected memory_error() noexcept { return Unexpected(Error{ErrorKind::MemoryError, {}}); }
[[nodiscard]] inline Unexpected panic(std::string text) { return Unexpected(Error{ErrorKind::Panic, std::move(text)}); }

// Sets an exception of any class with a text and returns the "already set" error.
[[nodiscard]] inline Unexpected raise(PyObject* exception_type, const char* text) noexcept {
  PyErr_SetString(exception_type, text);
  return py_error();
}

// A new reference from a C-API call, or the pending exception when it is nullptr.
[[nodiscard]] inline Result<Ref> checked(PyObject* new_ref) noexcept {
  if (new_ref == nullptr) [[unlikely]]
    return py_error();
  return Ref::steal(new_ref);
}
// A C-API status (0 or -1 with an exception set).
[[nodiscard]] inline Status checked_status(int rc) noexcept {
  if (rc < 0) [[unlikely]]
    return py_error();
  return {};
}

// Turns the error into the pending Python exception (a no-op for PyErrSet).
// Runs with the interpreter lock held; never fails (a failure to build the
// exception leaves that failure set instead).
void set_python_error(const Error& error) noexcept;

// Writes the panic line to standard error and sets the panic exception.
void raise_panic(const char* text) noexcept;

// The panic exception class (created on first use, kept for the process), or
// nullptr with an exception set.
PyObject* panic_exception_type() noexcept;

}  // namespace brovane::python::core

#define BRV_CORE_CONCAT_INNER(a, b) a##b
#define BRV_CORE_CONCAT(a, b) BRV_CORE_CONCAT_INNER(a, b)

// Returns the error of a Status or Result expression from the enclosing
// function, which must return a Status or Result.
#define BRV_CHECK(expr)                                                     \
  do {                                                                      \
    if (auto&& brv_check_result_ = (expr); !brv_check_result_) [[unlikely]] \
      return ::std::unexpected(::std::move(brv_check_result_).error());     \
  } while (0)

// BRV_TRY(expr): the same as an expression yielding the value (a GNU
// statement expression). The wire codecs define the same macro; the two
// definitions are token for token the same, so either header may come first.
#ifndef BRV_TRY
#define BRV_TRY(expr)                                                   \
  ({                                                                    \
    auto&& brv_try_r_ = (expr);                                         \
    if (!brv_try_r_.has_value()) [[unlikely]]                           \
      return std::unexpected(std::move(brv_try_r_).error());            \
    *std::move(brv_try_r_);                                             \
  })
#endif

// BRV_ASSIGN(auto name, expr): declares `name` (or assigns an existing
// lvalue) from the value of a Result expression, or returns its error from the
// enclosing function. It expands to several statements: brace it under an if.
#define BRV_ASSIGN(decl, expr) BRV_ASSIGN_IMPL(BRV_CORE_CONCAT(brv_assign_, __COUNTER__), decl, expr)
#define BRV_ASSIGN_IMPL(tmp, decl, expr)                           \
  auto&& tmp = (expr);                                             \
  if (!tmp) [[unlikely]]                                           \
    return ::std::unexpected(::std::move(tmp).error());            \
  decl = ::std::move(*tmp)
