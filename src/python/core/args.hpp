// Argument parsing for methods and constructors. Each callable has one static
// `Signature`: its full name for error texts, its positional-or-keyword
// parameters (interned once, so keywords usually match by pointer), how many
// of them are required, and whether unknown keywords are collected into a
// dict (a trailing **kwargs). Parsing fills an `Args` on the caller's stack
// with borrowed pointers; typed extraction is the callee's job
// (extract.hpp), in parameter order.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "python/core/ref.hpp"
#include "python/core/status.hpp"

namespace brovane::python::core {

enum class VarKeywords : bool { Refuse, Collect };

// The part of a Signature that the parser reads; `keys` is filled on first use.
struct SignatureView {
  const char* full_name;  // "Class.method()" / "Class.__new__()"
  const char* const* names;
  PyObject** keys;
  std::uint8_t count;
  std::uint8_t required;  // the first `required` parameters must be given
  VarKeywords var_keywords;
};

template <std::size_t N>
class Signature {
  static_assert(N <= 16, "more parameters than any method of the module has");

 public:
  // Signature kSig{"ThriftServer.__new__()", {"service", "transport", "workers", "protocol"}, 1};
  constexpr Signature(const char* full_name, const char* const (&names)[N], std::size_t required = N,
                      VarKeywords var_keywords = VarKeywords::Refuse)
      : full_name_(full_name), required_(static_cast<std::uint8_t>(required)), var_keywords_(var_keywords) {
    for (std::size_t i = 0; i < N; ++i) names_[i] = names[i];
  }
  // No parameters: Signature kSig{"TransportType.__new__()"}.
  constexpr explicit Signature(const char* full_name, VarKeywords var_keywords = VarKeywords::Refuse)
    requires(N == 0)
      : full_name_(full_name), required_(0), var_keywords_(var_keywords) {}

  static constexpr std::size_t size() noexcept { return N; }
  SignatureView view() noexcept {
    return SignatureView{full_name_, names_.data(), keys_.data(), static_cast<std::uint8_t>(N), required_, var_keywords_};
  }
  const char* full_name() const noexcept { return full_name_; }
  std::size_t required() const noexcept { return required_; }
  bool collects_keywords() const noexcept { return var_keywords_ == VarKeywords::Collect; }

 private:
  const char* full_name_;
  std::array<const char*, N> names_{};
  std::array<PyObject*, N> keys_{};  // interned names, process-wide
  std::uint8_t required_;
  VarKeywords var_keywords_;
};

Signature(const char*) -> Signature<0>;
Signature(const char*, VarKeywords) -> Signature<0>;

// Parsed arguments: argv[i] is the value of parameter i (borrowed, valid for
// the call) or nullptr when it was not given; `kwargs` holds the collected
// unknown keywords (a new dict, or empty when none were given). Constructors
// and call slots also see the original tuple and dict.
template <std::size_t N>
struct Args {
  std::array<PyObject*, N> argv{};
  Ref kwargs;
  PyObject* call_args = nullptr;    // tuple/dict entry points only
  PyObject* call_kwargs = nullptr;  // may be nullptr

  PyObject* operator[](std::size_t i) const noexcept { return argv[i]; }
  bool given(std::size_t i) const noexcept { return argv[i] != nullptr; }
};

namespace detail {
Status parse_fastcall_slow(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           PyObject** out, Ref* kwargs_out);
Status parse_tuple_dict(const SignatureView& sig, PyObject* args, PyObject* kwargs, PyObject** out, Ref* kwargs_out);
}  // namespace detail

// The vectorcall convention (METH_FASTCALL | METH_KEYWORDS).
template <std::size_t N>
[[nodiscard]] inline Status parse_fastcall(Signature<N>& sig, PyObject* const* args, Py_ssize_t nargsf,
                                           PyObject* kwnames, Args<N>& out) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  // Positional arguments only, a count in range: nothing to look up.
  if (kwnames == nullptr && nargs >= static_cast<Py_ssize_t>(sig.required()) && nargs <= static_cast<Py_ssize_t>(N)) [[likely]] {
    for (Py_ssize_t i = 0; i < nargs; ++i) out.argv[static_cast<std::size_t>(i)] = args[i];
    return {};
  }
  return detail::parse_fastcall_slow(sig.view(), args, nargs, kwnames, out.argv.data(), &out.kwargs);
}

// The tuple/dict convention (tp_new, tp_call).
template <std::size_t N>
[[nodiscard]] inline Status parse_tuple_dict(Signature<N>& sig, PyObject* args, PyObject* kwargs, Args<N>& out) {
  out.call_args = args;
  out.call_kwargs = kwargs;
  return detail::parse_tuple_dict(sig.view(), args, kwargs, out.argv.data(), &out.kwargs);
}

}  // namespace brovane::python::core
