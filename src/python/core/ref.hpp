// Owned Python references. A borrowed reference is a plain `PyObject*`
// parameter and is never stored; anything kept beyond a call is a `Ref`.
#pragma once

#include <Python.h>

#include <cassert>
#include <utility>

namespace brovane::python::core {

// Owns exactly one reference (or none). Needs the interpreter lock for every
// operation that touches the count, destruction included.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() {
    assert(p_ == nullptr || PyGILState_Check());
    Py_XDECREF(p_);
  }

  // Adopts a new reference (the result of a "new reference" API; may be nullptr).
  [[nodiscard]] static Ref steal(PyObject* o) noexcept { return Ref(o); }
  // Takes one more reference to a borrowed object (may be nullptr).
  [[nodiscard]] static Ref borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return Ref(o);
  }

  [[nodiscard]] Ref clone() const noexcept { return borrow(p_); }
  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hands the reference to the caller (for "steals a reference" APIs and returns to Python).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  void reset() noexcept { Py_CLEAR(p_); }

 private:
  explicit Ref(PyObject* o) noexcept : p_(o) {}
  PyObject* p_ = nullptr;
};

// The None singleton as a new reference, for functions that return "nothing".
[[nodiscard]] inline Ref none() noexcept { return Ref::borrow(Py_None); }
// True or False as a new reference.
[[nodiscard]] inline Ref boolean(bool b) noexcept { return Ref::borrow(b ? Py_True : Py_False); }

}  // namespace brovane::python::core
