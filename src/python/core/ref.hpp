// Owned Python references. A borrowed reference is a plain `PyObject*`
// parameter and is never stored; anything kept beyond a call is a `Ref`.
#pragma once

#include <Python.h>

#include <utility>

namespace brovane::python::core {

namespace detail {
// The last reference of `o`, dropped: with the calling thread's interpreter
// lock, the object goes as usual (and a thread that the finalizing
// interpreter ends in its finalizer is parked there: gil.hpp); without a
// thread state, the thread is being unwound by the finalizing interpreter,
// and the object is left as it is rather than deallocated where no Python
// code may run.
void drop_last_reference(PyObject* o) noexcept;
}  // namespace detail

// Drops one reference of `o` (may be nullptr), as Py_XDECREF does.
inline void drop_reference(PyObject* o) noexcept {
  if (o == nullptr) return;
  if (Py_REFCNT(o) != 1) [[likely]] {
    Py_DECREF(o);
    return;
  }
  detail::drop_last_reference(o);
}

// Owns exactly one reference (or none). Needs the interpreter lock for every
// operation that touches the count, destruction included; a thread that the
// interpreter ends during finalization may destroy one without it.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
      drop_reference(old);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { drop_reference(p_); }

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
  void reset() noexcept { drop_reference(std::exchange(p_, nullptr)); }

 private:
  explicit Ref(PyObject* o) noexcept : p_(o) {}
  PyObject* p_ = nullptr;
};

// The None singleton as a new reference, for functions that return "nothing".
[[nodiscard]] inline Ref none() noexcept { return Ref::borrow(Py_None); }
// True or False as a new reference.
[[nodiscard]] inline Ref boolean(bool b) noexcept { return Ref::borrow(b ? Py_True : Py_False); }

}  // namespace brovane::python::core
