#include "python/core/extract.hpp"

#include <cstring>

#include "python/core/interned.hpp"

namespace brovane::python::core {

std::string type_qualname(PyObject* o) {
  PyTypeObject* t = Py_TYPE(o);
  PyObject* q = PyType_GetQualName(t);
  if (q != nullptr) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(q, &n);
    if (p != nullptr) {
      std::string s(p, static_cast<std::size_t>(n));
      Py_DECREF(q);
      return s;
    }
    Py_DECREF(q);
  }
  // Only a broken __qualname__ gets here; the C-level name always exists.
  PyErr_Clear();
  const char* name = t->tp_name;
  const char* dot = std::strrchr(name, '.');
  return dot != nullptr ? std::string(dot + 1) : std::string(name);
}

namespace {

std::string not_instance_text(PyObject* o, std::string_view expected) {
  std::string text;
  if (o == Py_None) {
    text = "'None' is not an instance of '";
  } else {
    text = "'";
    text += type_qualname(o);
    text += "' object is not an instance of '";
  }
  text += expected;
  text += '\'';
  return text;
}

std::string arg_prefix(const char* arg) {
  std::string text = "argument '";
  text += arg;
  text += "': ";
  return text;
}

}  // namespace

Unexpected not_instance(PyObject* o, std::string_view expected) { return type_error(not_instance_text(o, expected)); }

Unexpected arg_not_instance(const char* arg, PyObject* o, std::string_view expected) {
  return type_error(arg_prefix(arg) + not_instance_text(o, expected));
}

Error arg_error(const char* arg, Error error) {
  if (error.kind == ErrorKind::TypeError) {
    error.text.insert(0, arg_prefix(arg));
    return error;
  }
  if (error.kind != ErrorKind::PyErrSet) return error;

  // Only an exact TypeError is renamed: other classes may not take a single text.
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr || !Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    PyErr_SetRaisedException(exc);
    return error;
  }
  Ref old = Ref::steal(exc);
  Ref text = Ref::steal(PyObject_Str(old.get()));
  if (!text) return error;  // that failure is pending now
  Ref msg = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", arg, text.get()));
  if (!msg) return error;
  Ref renamed = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, msg.get()));
  if (!renamed) return error;
  PyException_SetCause(renamed.get(), PyException_GetCause(old.get()));  // steals the new cause reference
  PyErr_SetRaisedException(renamed.release());
  return error;
}

namespace {

bool text_equals(PyObject* s, const char* text) {
  if (s == nullptr || !PyUnicode_Check(s)) return false;
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(s, &n);
  if (p == nullptr) {
    PyErr_Clear();
    return false;
  }
  return static_cast<std::size_t>(n) == std::strlen(text) && std::memcmp(p, text, static_cast<std::size_t>(n)) == 0;
}

// numpy.bool_ (numpy 1) or numpy.bool (numpy 2), by the type's module and name.
bool is_numpy_bool_type(PyTypeObject* t) {
  Ref name = Ref::steal(PyType_GetName(t));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  if (!text_equals(name.get(), "bool_") && !text_equals(name.get(), "bool")) return false;
  Ref module = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(t), names().dunder_module));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  return text_equals(module.get(), "numpy");
}

}  // namespace

Result<bool> to_bool_slow(PyObject* o) {
  PyTypeObject* t = Py_TYPE(o);
  if (!is_numpy_bool_type(t)) return not_instance(o, "bool");
  if (t->tp_as_number != nullptr && t->tp_as_number->nb_bool != nullptr) {
    const int r = t->tp_as_number->nb_bool(o);
    if (r < 0) return py_error();
    return r == 1;
  }
  return type_error("object of type '" + type_qualname(o) + "' does not define a '__bool__' conversion");
}

}  // namespace brovane::python::core
