// The C entry points of every method, property and slot, generated from plain
// C++ functions. Each thunk is noexcept: it checks self, parses arguments
// against the callable's static Signature, takes the borrow, calls the C++
// function and turns its error into a Python exception in one place. No C++
// exception reaches the interpreter: std::bad_alloc becomes MemoryError,
// anything else the panic exception.
//
// Function shapes (Obj is the object struct, N the Signature's size; member
// functions of Obj with the same parameters after `Obj&` work too):
//   method          Result<Ref> f(Obj&, const Args<N>&)   or f(Obj&) when N == 0
//   static_method   Result<Ref> f(const Args<N>&)
//   constructor     Result<Ref> f(PyTypeObject*, const Args<N>&)
//   call_slot       Result<Ref> f(Obj&, const Args<N>&)
//   unary_slot      Result<Ref> f(Obj&)                    (tp_repr, tp_str, nb_int, ...)
//   getter          Result<Ref> f(Obj&)
//   setter          Status f(Obj&, V)   V converted by FromPython<V> before the borrow
#pragma once

#include <Python.h>

#include <exception>
#include <functional>
#include <new>
#include <string_view>
#include <type_traits>

#include "python/core/args.hpp"
#include "python/core/borrow.hpp"
#include "python/core/extract.hpp"
#include "python/core/gil.hpp"
#include "python/core/status.hpp"
#include "python/core/type_def.hpp"

namespace brovane::python::core {

inline constexpr const char kNoDeleter[] = "property has no deleter";

namespace detail {

template <class F>
struct FnTraits;
template <class R, class O, class... A>
struct FnTraits<R (*)(O&, A...)> {
  using Obj = O;
};
template <class R, class O, class... A>
struct FnTraits<R (*)(O&, A...) noexcept> {
  using Obj = O;
};
template <class R, class O, class... A>
struct FnTraits<R (O::*)(A...)> {
  using Obj = O;
};
template <class R, class O, class... A>
struct FnTraits<R (O::*)(A...) noexcept> {
  using Obj = O;
};
template <auto Fn>
using ObjOf = typename FnTraits<decltype(Fn)>::Obj;

template <class R, class O, class V>
V setter_value(R (*)(O&, V));
template <class R, class O, class V>
V setter_value(R (*)(O&, V) noexcept);
template <class R, class O, class V>
V setter_value(R (O::*)(V));
template <auto Fn>
using SetterValue = std::remove_cvref_t<decltype(setter_value(Fn))>;

template <auto& Sig>
inline constexpr std::size_t kArity = std::remove_reference_t<decltype(Sig)>::size();

[[gnu::cold]] void set_exception_from_cpp() noexcept;

}  // namespace detail

// Runs `body` (returning Result<Ref>) at a C entry point: the new reference,
// or nullptr with the Python exception set.
template <class F>
BRV_CATCHES_THREAD_EXIT PyObject* run(F&& body) noexcept {
  release_deferred_if_any();
  PyObject* out = nullptr;
  try {
    Result<Ref> r = std::forward<F>(body)();
    if (r) [[likely]]
      out = r->release();
    else
      set_python_error(r.error());
  } catch (abi::__forced_unwind&) {
    park_thread();  // ended by a finalizing interpreter (gil.hpp)
  } catch (...) {
    detail::set_exception_from_cpp();
  }
  return out;
}

// The same for bodies returning Status: 0, or -1 with the exception set.
template <class F>
BRV_CATCHES_THREAD_EXIT int run_status(F&& body) noexcept {
  release_deferred_if_any();
  int out = -1;
  try {
    Status s = std::forward<F>(body)();
    if (s) [[likely]]
      out = 0;
    else
      set_python_error(s.error());
  } catch (abi::__forced_unwind&) {
    park_thread();  // ended by a finalizing interpreter (gil.hpp)
  } catch (...) {
    detail::set_exception_from_cpp();
  }
  return out;
}

// Self of the expected class; the standard wrong-type error otherwise.
template <class Obj>
[[nodiscard]] inline Result<Obj*> as_self(PyObject* self) {
  return as_object<Obj>(self);
}

namespace detail {

template <auto Fn, class Obj, std::size_t N>
Result<Ref> invoke_with_args(Obj& obj, const Args<N>& a) {
  if constexpr (std::is_invocable_v<decltype(Fn), Obj&, const Args<N>&>)
    return std::invoke(Fn, obj, a);
  else
    return std::invoke(Fn, obj);
}

template <auto Fn, auto& Sig, Access A>
PyObject* method_thunk(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  using Obj = ObjOf<Fn>;
  return run([&]() -> Result<Ref> {
    Args<kArity<Sig>> a;
    BRV_CHECK(parse_fastcall(Sig, args, nargsf, kwnames, a));
    BRV_ASSIGN(Obj * obj, as_self<Obj>(self));
    BRV_ASSIGN(auto borrow, take_borrow<A>(obj->borrow));
    return invoke_with_args<Fn>(*obj, a);
  });
}

template <auto Fn, auto& Sig>
PyObject* static_method_thunk(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return run([&]() -> Result<Ref> {
    Args<kArity<Sig>> a;
    BRV_CHECK(parse_fastcall(Sig, args, nargsf, kwnames, a));
    return std::invoke(Fn, a);
  });
}

template <auto Fn, auto& Sig>
PyObject* new_thunk(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return run([&]() -> Result<Ref> {
    Args<kArity<Sig>> a;
    BRV_CHECK(parse_tuple_dict(Sig, args, kwargs, a));
    return std::invoke(Fn, type, a);
  });
}

template <auto Fn, auto& Sig, Access A>
PyObject* call_thunk(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  using Obj = ObjOf<Fn>;
  return run([&]() -> Result<Ref> {
    Args<kArity<Sig>> a;
    BRV_CHECK(parse_tuple_dict(Sig, args, kwargs, a));
    BRV_ASSIGN(Obj * obj, as_self<Obj>(self));
    BRV_ASSIGN(auto borrow, take_borrow<A>(obj->borrow));
    return invoke_with_args<Fn>(*obj, a);
  });
}

template <auto Fn, Access A>
PyObject* unary_thunk(PyObject* self) noexcept {
  using Obj = ObjOf<Fn>;
  return run([&]() -> Result<Ref> {
    BRV_ASSIGN(Obj * obj, as_self<Obj>(self));
    BRV_ASSIGN(auto borrow, take_borrow<A>(obj->borrow));
    return std::invoke(Fn, *obj);
  });
}

template <auto Fn, Access A>
PyObject* getter_thunk(PyObject* self, void*) noexcept {
  return unary_thunk<Fn, A>(self);
}

}  // namespace detail

// Converts a setter's value; specialise for types of other layers (the enum
// numbers, for instance). `name` is the property's name, for argument errors.
template <class V>
struct FromPython {
  static Result<V> convert(PyObject* o, const char* name) {
    if constexpr (std::is_same_v<V, PyObject*>)
      return o;
    else if constexpr (std::is_same_v<V, bool>)
      return arg_bool(o, name);
    else if constexpr (std::is_integral_v<V>)
      return arg_int<V>(o, name);
    else if constexpr (std::is_same_v<V, std::string_view>)
      return arg_utf8(o, name);
    else
      static_assert(sizeof(V) == 0, "no FromPython conversion for this setter value type");
  }
};

namespace detail {

template <auto Fn>
int setter_thunk(PyObject* self, PyObject* value, void* closure) noexcept {
  using Obj = ObjOf<Fn>;
  using V = SetterValue<Fn>;
  return run_status([&]() -> Status {
    BRV_ASSIGN(Obj * obj, as_self<Obj>(self));
    if (value == nullptr) return attribute_error(kNoDeleter);
    BRV_ASSIGN(V v, FromPython<V>::convert(value, static_cast<const char*>(closure)));
    BRV_ASSIGN(auto borrow, take_borrow<Access::Exclusive>(obj->borrow));
    return std::invoke(Fn, *obj, std::move(v));
  });
}

}  // namespace detail

// A method entry for Py_tp_methods:
//   core::method<&parse, kParseSig, core::Access::Exclusive>("parse", "parse($self, content)\n--\n\n")
template <auto Fn, auto& Sig, Access A = Access::Shared>
constexpr PyMethodDef method(const char* name, const char* doc = nullptr) noexcept {
  return PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&detail::method_thunk<Fn, Sig, A>)),
                     METH_FASTCALL | METH_KEYWORDS, doc};
}
// A static method (callable on the class or an instance; no self, no borrow).
template <auto Fn, auto& Sig>
constexpr PyMethodDef static_method(const char* name, const char* doc = nullptr) noexcept {
  return PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&detail::static_method_thunk<Fn, Sig>)),
                     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, doc};
}

// A property for Py_tp_getset. Without a setter it is read-only (the
// interpreter refuses assignment and deletion); with one, deleting it raises
// AttributeError "property has no deleter". The property's name names the
// value in conversion errors.
template <auto Get, auto Set = nullptr, Access GetAccess = Access::Shared>
constexpr PyGetSetDef property(const char* name, const char* doc = nullptr) noexcept {
  setter set = nullptr;
  if constexpr (Set != nullptr) set = &detail::setter_thunk<Set>;
  return PyGetSetDef{name, &detail::getter_thunk<Get, GetAccess>, set, doc,
                     const_cast<void*>(static_cast<const void*>(name))};
}

// Slots for TypeDef::slots.
template <auto Fn, auto& Sig>
constexpr PyType_Slot constructor() noexcept {
  return PyType_Slot{Py_tp_new, reinterpret_cast<void*>(&detail::new_thunk<Fn, Sig>)};
}
template <auto Fn, auto& Sig, Access A = Access::Shared>
constexpr PyType_Slot call_slot() noexcept {
  return PyType_Slot{Py_tp_call, reinterpret_cast<void*>(&detail::call_thunk<Fn, Sig, A>)};
}
// `slot_id` is Py_tp_repr, Py_tp_str, Py_nb_int, ...
template <int SlotId, auto Fn, Access A = Access::Shared>
constexpr PyType_Slot unary_slot() noexcept {
  return PyType_Slot{SlotId, reinterpret_cast<void*>(&detail::unary_thunk<Fn, A>)};
}

}  // namespace brovane::python::core
