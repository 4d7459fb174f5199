// Declaring a class of the module: the object layout convention, one TypeDef
// per class, and the builder that turns it into a heap type with the traits
// all fourteen classes share.
//
// Object layout: a Python header, the borrow counter, then one plain C++
// value that holds the object's members:
//
//   struct ThriftParserObject {
//     PyObject_HEAD
//     core::BorrowFlag borrow;
//     parser::ThriftParser value;
//     static constexpr core::TypeId kTypeId = core::TypeId::ThriftParser;
//   };
//
// A class derived from Exception starts with `PyBaseExceptionObject base;`
// instead of the header and sets `static constexpr bool kExceptionBase = true`.
#pragma once

#include <Python.h>

#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

#include "python/core/borrow.hpp"
#include "python/core/classes.hpp"
#include "python/core/ref.hpp"
#include "python/core/status.hpp"

namespace brovane::python::core {

// The value of objects that hold nothing but their borrow counter.
struct Stateless {};

template <class Obj>
concept ExceptionObject = requires { requires Obj::kExceptionBase; };

template <class Obj>
using ValueOf = std::remove_cvref_t<decltype(std::declval<Obj&>().value)>;

// What distinguishes one class from another. Every class additionally gets:
// its bare name from the class list (no module prefix, no `__module__`
// entry), no base-type flag (it cannot be subclassed), no instance dict and
// no weak references (those of an Exception base excepted), no cycle-GC
// participation of its own (unless `gc` opts in), a dealloc that destroys
// the value, and, when `slots` has no Py_tp_new, the interpreter's refusal
// to create instances.
struct TypeDef {
  TypeId id;
  // The stored documentation: the text signature line, "--", an empty line,
  // then the body: "ThriftParser()\n--\n\n". nullptr for a class without a
  // constructor, which has no docstring at all.
  const char* doc = nullptr;
  PyMethodDef* methods = nullptr;  // terminated by a zeroed entry
  PyGetSetDef* getset = nullptr;   // terminated by a zeroed entry
  std::span<const PyType_Slot> slots = {};  // tp_new, tp_repr, nb_int, ... (no terminator)
  PyObject* base = nullptr;                 // nullptr: object
  // Opt-in to cycle collection for a class whose objects hold arbitrary
  // Python objects: sets Py_TPFLAGS_HAVE_GC. `slots` must then bring
  // Py_tp_traverse, Py_tp_clear and a Py_tp_dealloc that untracks the object
  // (a dealloc given in `slots` replaces the default one).
  bool gc = false;
};

namespace detail {
Result<Ref> make_type(const TypeDef& def, int basicsize, destructor dealloc);
}

template <class Obj>
void dealloc(PyObject* self) noexcept {
  PyTypeObject* tp = Py_TYPE(self);
  Obj* o = reinterpret_cast<Obj*>(self);
  if constexpr (ExceptionObject<Obj>) {
    PyObject_GC_UnTrack(self);
    std::destroy_at(&o->value);
    std::destroy_at(&o->borrow);
    tp->tp_base->tp_dealloc(self);  // clears the exception's parts and frees the memory
  } else {
    std::destroy_at(&o->value);
    std::destroy_at(&o->borrow);
    tp->tp_free(self);
  }
  Py_DECREF(tp);  // instances of heap types own a reference to their type
}

// Builds the type object of class `Obj` (a new reference).
template <class Obj>
[[nodiscard]] Result<Ref> make_type(const TypeDef& def) {
  return detail::make_type(def, static_cast<int>(sizeof(Obj)), &dealloc<Obj>);
}

namespace detail {
// Constructs the borrow flag and `value` in `self`, a fresh allocation of
// Obj's type (null: its allocation failed, with the error set).
template <class Obj>
[[nodiscard]] Result<Ref> fill(PyObject* self, ValueOf<Obj>&& value) noexcept {
  if (self == nullptr) [[unlikely]]
    return py_error();
  Obj* o = reinterpret_cast<Obj*>(self);
  ::new (&o->borrow) BorrowFlag{};
  ::new (&o->value) ValueOf<Obj>(std::move(value));
  return Ref::steal(self);
}
}  // namespace detail

// Puts `value` into a new object of `type` (normally type_object(Obj::kTypeId)).
template <class Obj>
[[nodiscard]] Result<Ref> create(PyTypeObject* type, ValueOf<Obj>&& value) noexcept {
  static_assert(!ExceptionObject<Obj>, "exceptions are created by their base class: create_exception");
  static_assert(std::is_nothrow_move_constructible_v<ValueOf<Obj>>);
  return detail::fill<Obj>(type->tp_alloc(type, 0), std::move(value));
}
template <class Obj>
[[nodiscard]] Result<Ref> create(ValueOf<Obj>&& value) noexcept {
  return create<Obj>(type_object(Obj::kTypeId), std::move(value));
}

// An instance of an Exception-derived class: the base class's constructor
// makes it (and sets `args` from the call tuple), then `value` is put in.
template <class Obj>
[[nodiscard]] Result<Ref> create_exception(PyTypeObject* type, PyObject* args, PyObject* kwargs,
                                           ValueOf<Obj>&& value) noexcept {
  static_assert(ExceptionObject<Obj>);
  static_assert(std::is_nothrow_move_constructible_v<ValueOf<Obj>>);
  return detail::fill<Obj>(type->tp_base->tp_new(type, args, kwargs), std::move(value));
}

template <class Obj>
PyObject* as_py(Obj& o) noexcept {
  return reinterpret_cast<PyObject*>(&o);
}

}  // namespace brovane::python::core
