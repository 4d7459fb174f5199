#include "python/core/args.hpp"

#include <cstring>
#include <string>

namespace brovane::python::core::detail {

namespace {

Status ensure_keys(const SignatureView& sig) noexcept {
  if (sig.count == 0 || sig.keys[sig.count - 1] != nullptr) [[likely]]
    return {};
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (sig.keys[i] != nullptr) continue;
    sig.keys[i] = PyUnicode_InternFromString(sig.names[i]);
    if (sig.keys[i] == nullptr) return py_error();
  }
  return {};
}

bool same_text(PyObject* a, PyObject* b) noexcept {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
  if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
  return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(n) * PyUnicode_KIND(a)) == 0;
}

// Position of the parameter called `name`, or -1: by pointer first (interned
// keyword names), then by text.
int find_parameter(const SignatureView& sig, PyObject* name) noexcept {
  for (int i = 0; i < sig.count; ++i)
    if (sig.keys[i] == name) return i;
  if (!PyUnicode_Check(name)) return -1;
  for (int i = 0; i < sig.count; ++i)
    if (same_text(sig.keys[i], name)) return i;
  return -1;
}

[[gnu::cold]] Unexpected too_many_positional(const SignatureView& sig, Py_ssize_t given) {
  const char* was = given == 1 ? "was" : "were";
  if (sig.required != sig.count)
    PyErr_Format(PyExc_TypeError, "%s takes from %d to %d positional arguments but %zd %s given", sig.full_name,
                 int{sig.required}, int{sig.count}, given, was);
  else
    PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given", sig.full_name,
                 int{sig.count}, given, was);
  return py_error();
}

// Names joined as "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
[[gnu::cold]] Unexpected missing_positional(const SignatureView& sig, PyObject* const* out) {
  std::size_t missing[16];
  std::size_t n = 0;
  for (std::size_t i = 0; i < sig.required; ++i)
    if (out[i] == nullptr) missing[n++] = i;
  std::string list;
  for (std::size_t k = 0; k < n; ++k) {
    if (k != 0) {
      if (n > 2) list += ',';
      list += k == n - 1 ? " and " : " ";
    }
    list += '\'';
    list += sig.names[missing[k]];
    list += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", sig.full_name, n,
               n == 1 ? "argument" : "arguments", list.c_str());
  return py_error();
}

// One keyword argument: into its parameter's slot, or the **kwargs dict.
Status place_keyword(const SignatureView& sig, PyObject* name, PyObject* value, PyObject** out, Ref* kwargs_out) {
  const int i = find_parameter(sig, name);
  if (i >= 0) {
    if (out[i] != nullptr) [[unlikely]] {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%S'", sig.full_name, name);
      return py_error();
    }
    out[i] = value;
    return {};
  }
  if (sig.var_keywords == VarKeywords::Refuse) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.full_name, name);
    return py_error();
  }
  if (!*kwargs_out) {
    *kwargs_out = Ref::steal(PyDict_New());
    if (!*kwargs_out) return py_error();
  }
  return checked_status(PyDict_SetItem(kwargs_out->get(), name, value));
}

Status finish(const SignatureView& sig, Py_ssize_t nargs, PyObject* const* out) {
  if (nargs < sig.required) {
    for (std::size_t i = static_cast<std::size_t>(nargs); i < sig.required; ++i)
      if (out[i] == nullptr) return missing_positional(sig, out);
  }
  return {};
}

}  // namespace

Status parse_fastcall_slow(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           PyObject** out, Ref* kwargs_out) {
  if (nargs > sig.count) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    BRV_CHECK(ensure_keys(sig));
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k)
      BRV_CHECK(place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out, kwargs_out));
  }
  return finish(sig, nargs, out);
}

Status parse_tuple_dict(const SignatureView& sig, PyObject* args, PyObject* kwargs, PyObject** out, Ref* kwargs_out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > sig.count) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
    BRV_CHECK(ensure_keys(sig));
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) BRV_CHECK(place_keyword(sig, name, value, out, kwargs_out));
  }
  return finish(sig, nargs, out);
}

}  // namespace brovane::python::core::detail
