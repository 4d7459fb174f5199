#include "python/core/status.hpp"

#include <unistd.h>

#include <cstring>
#include <string>

namespace brovane::python::core {

namespace {

PyObject* g_panic_type = nullptr;  // kept for the process once created

// Straight to the file descriptor: diagnostics bypass sys.stderr.
void write_stderr_line(const char* text) noexcept {
  std::string line = "brovane panicked: ";
  line += text;
  line += '\n';
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace

PyObject* panic_exception_type() noexcept {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc(
        "brovane.PanicException",
        "Raised when a broken internal invariant ends an operation of the module.\n\n"
        "Like SystemExit it derives from BaseException, so that ordinary exception\n"
        "handlers do not swallow it.",
        PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

void raise_panic(const char* text) noexcept {
  try {
    write_stderr_line(text);
  } catch (...) {
    // Out of memory while building the line: the exception below still reports it.
  }
  PyObject* type = panic_exception_type();
  if (type != nullptr) PyErr_SetString(type, text);
}

void set_python_error(const Error& error) noexcept {
  PyObject* type = nullptr;
  switch (error.kind) {
    case ErrorKind::PyErrSet:
      if (!PyErr_Occurred()) raise_panic("error reported without a Python exception set");
      return;
    case ErrorKind::MemoryError:
      PyErr_NoMemory();
      return;
    case ErrorKind::Panic:
      raise_panic(error.text.c_str());
      return;
    case ErrorKind::ValueError: type = PyExc_ValueError; break;
    case ErrorKind::TypeError: type = PyExc_TypeError; break;
    case ErrorKind::OSError: type = PyExc_OSError; break;
    case ErrorKind::RuntimeError: type = PyExc_RuntimeError; break;
    case ErrorKind::OverflowError: type = PyExc_OverflowError; break;
    case ErrorKind::AttributeError: type = PyExc_AttributeError; break;
  }
  // Texts may hold any bytes a peer sent; decode leniently rather than fail.
  PyObject* msg = PyUnicode_DecodeUTF8(error.text.data(), static_cast<Py_ssize_t>(error.text.size()), "replace");
  if (msg == nullptr) return;
  PyErr_SetObject(type, msg);
  Py_DECREF(msg);
}

}  // namespace brovane::python::core
