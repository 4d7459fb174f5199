#include "python/serde/byte_string.hpp"

#include <cstdint>
#include <new>
#include <string>

#include "python/core/ref.hpp"
#include "python/serde/errors.hpp"

namespace brovane::python::serde::detail {

namespace {

// The refusal names the abstract Sequence class by its own name; its module
// is imported only now, when a refusal is made.
void raise_not_sequence(PyObject* o) noexcept {
  core::Ref abc = core::Ref::steal(PyImport_ImportModule("collections.abc"));
  if (!abc) return;
  core::Ref seq = core::Ref::steal(PyObject_GetAttrString(abc.get(), "Sequence"));
  if (!seq) return;
  std::string name = "Sequence";
  if (PyType_Check(seq.get())) {
    core::Ref n = core::Ref::steal(PyType_GetName(reinterpret_cast<PyTypeObject*>(seq.get())));
    const char* text = n ? PyUnicode_AsUTF8(n.get()) : nullptr;
    if (text == nullptr) {
      PyErr_Clear();
    } else {
      try {
        name = text;
      } catch (...) {
      }
    }
  }
  raise_not_instance(o, name);
}

}  // namespace

bool byte_string_slow(PyObject* o, std::string& scratch, std::string_view& out) noexcept {
  if (PyByteArray_Check(o)) {
    out = std::string_view(PyByteArray_AS_STRING(o), static_cast<std::size_t>(PyByteArray_GET_SIZE(o)));
    return true;
  }
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, kStrNotBytes);
    return false;
  }
  if (!PySequence_Check(o)) {
    raise_not_sequence(o);
    return false;
  }
  try {
    scratch.clear();
    // The length only sizes the buffer; a sequence without one counts as empty.
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0)
      PyErr_Clear();
    else
      scratch.reserve(static_cast<std::size_t>(n));
    core::Ref it = core::Ref::steal(PyObject_GetIter(o));
    if (!it) return false;
    while (PyObject* item = PyIter_Next(it.get())) {
      const long v = PyLong_AsLong(item);  // int, bool, or __index__
      Py_DECREF(item);
      if (v == -1 && PyErr_Occurred()) return false;
      if (v < 0 || v > 255) {
        raise_out_of_range();
        return false;
      }
      scratch.push_back(static_cast<char>(static_cast<std::uint8_t>(v)));
    }
    if (PyErr_Occurred()) return false;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  out = scratch;
  return true;
}

}  // namespace brovane::python::serde::detail
