#include "python/serde/errors.hpp"

#include <string>

#include "python/core/extract.hpp"
#include "python/core/status.hpp"

namespace brovane::python::serde {

namespace {

// Texts may carry bytes a peer sent; decode leniently rather than fail.
void raise_text(PyObject* type, std::string_view text) noexcept {
  PyObject* msg = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (msg == nullptr) return;
  PyErr_SetObject(type, msg);
  Py_DECREF(msg);
}

void raise_prefixed(PyObject* type, std::string_view prefix, std::string_view text) noexcept {
  try {
    std::string s;
    s.reserve(prefix.size() + text.size());
    s += prefix;
    s += text;
    raise_text(type, s);
  } catch (...) {
    PyErr_NoMemory();
  }
}

}  // namespace

void raise_protocol_error(const protocol::ProtocolError& e) noexcept {
  try {
    raise_text(PyExc_OSError, e.display());
  } catch (...) {
    PyErr_NoMemory();
  }
}

void raise_write_error(std::string_view text) noexcept { raise_prefixed(PyExc_OSError, "Write error: ", text); }
void raise_read_error(std::string_view text) noexcept { raise_prefixed(PyExc_OSError, "Read error: ", text); }

void raise_not_instance(PyObject* o, std::string_view expected) noexcept {
  try {
    core::set_python_error(core::not_instance(o, expected).error());
  } catch (...) {
    PyErr_NoMemory();
  }
}

void raise_out_of_range() noexcept { PyErr_SetString(PyExc_OverflowError, core::kOutOfRange); }

void raise_unknown_struct_in_schema(std::string_view name) noexcept {
  raise_prefixed(PyExc_ValueError, "Unknown struct in schema: ", name);
}
void raise_unknown_struct_type(std::string_view name) noexcept {
  raise_prefixed(PyExc_ValueError, "Unknown struct type: ", name);
}

void raise_required_none(std::string_view name) noexcept {
  try {
    std::string s = "Required field '";
    s += name;
    s += "' cannot be None";
    raise_text(PyExc_TypeError, s);
  } catch (...) {
    PyErr_NoMemory();
  }
}

void raise_changed_size(const char* what) noexcept {
  PyErr_Format(PyExc_RuntimeError, "%s changed size during iteration", what);
}

void raise_container_too_large(Py_ssize_t n) noexcept {
  PyErr_Format(PyExc_OverflowError, "container of %zd elements is too large for a Thrift header", n);
}

}  // namespace brovane::python::serde
