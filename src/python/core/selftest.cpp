// A test entry for the conversions and borrow guards that no Python method
// reaches at every width. Not part of the module's Python interface: it is a
// plain exported C symbol, called by the tests through ctypes.PyDLL (the
// interpreter lock held, a NULL result raising the pending exception).
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <thread>

#include "python/core/borrow.hpp"
#include "python/core/extract.hpp"
#include "python/core/gil.hpp"
#include "python/core/thunks.hpp"

namespace brovane::python::core {

namespace {

// The layout every object of the module (the exception class aside) starts with.
struct BorrowedHead {
  PyObject_HEAD
  BorrowFlag borrow;
};

template <class T>
Result<Ref> int_of(PyObject* o) {
  BRV_ASSIGN(T v, to_int<T>(o));
  if constexpr (std::is_signed_v<T>)
    return checked(PyLong_FromLongLong(v));
  else
    return checked(PyLong_FromUnsignedLongLong(v));
}

// Runs `callback()` while holding a borrow of `o`.
template <Access A>
Result<Ref> while_borrowed(PyObject* o, PyObject* callback) {
  bool ours = false;
  for (std::size_t i = 0; i < kClassCount; ++i)
    if (i != static_cast<std::size_t>(TypeId::ThriftApplicationException) && is_instance(o, static_cast<TypeId>(i)))
      ours = true;
  if (!ours) return type_error("not an object of the module");
  BRV_ASSIGN(auto borrow, take_borrow<A>(reinterpret_cast<BorrowedHead*>(o)->borrow));
  return checked(PyObject_CallNoArgs(callback));
}

// Drops a reference to `o` on a native thread without the interpreter lock and
// returns the reference count seen afterwards (the drop is still queued).
Result<Ref> deferred_drop(PyObject* o) {
  DeferredRef held = DeferredRef::borrow(o);
  {
    GilRelease released;
    std::thread([held = std::move(held)]() mutable { held.reset(); }).join();
  }
  return checked(PyLong_FromSsize_t(Py_REFCNT(o)));
}

// Calls `callback()` from a new native thread that enters the interpreter
// through GilEnsure; the result or the exception comes back to the caller.
Result<Ref> native_call(PyObject* callback) {
  PyObject* result = nullptr;
  PyObject* raised = nullptr;
  {
    GilRelease released;
    std::thread([&] {
      GilEnsure gil;
      result = PyObject_CallNoArgs(callback);
      if (result == nullptr) raised = PyErr_GetRaisedException();
    }).join();
  }
  if (result == nullptr) {
    PyErr_SetRaisedException(raised);
    return py_error();
  }
  return Ref::steal(result);
}

Result<Ref> dispatch(std::string_view what, PyObject* arg, PyObject* callback) {
  if (what == "i8") return int_of<std::int8_t>(arg);
  if (what == "i16") return int_of<std::int16_t>(arg);
  if (what == "i32") return int_of<std::int32_t>(arg);
  if (what == "i64") return int_of<std::int64_t>(arg);
  if (what == "u8") return int_of<std::uint8_t>(arg);
  if (what == "u16") return int_of<std::uint16_t>(arg);
  if (what == "u32") return int_of<std::uint32_t>(arg);
  if (what == "u64") return int_of<std::uint64_t>(arg);
  if (what == "bool") {
    BRV_ASSIGN(bool b, to_bool(arg));
    return boolean(b);
  }
  if (what == "arg_bool") {
    BRV_ASSIGN(bool b, arg_bool(arg, "flag"));
    return boolean(b);
  }
  if (what == "deferred_drop") return deferred_drop(arg);
  if (what == "native_call") return native_call(callback);
  if (what == "shared") return while_borrowed<Access::Shared>(arg, callback);
  if (what == "exclusive") return while_borrowed<Access::Exclusive>(arg, callback);
  return value_error("unknown self-test");
}

}  // namespace

}  // namespace brovane::python::core

extern "C" [[gnu::visibility("default")]] PyObject* brovane_core_selftest(const char* what, PyObject* arg,
                                                                          PyObject* callback) noexcept {
  using namespace brovane::python::core;
  return run([&]() -> Result<Ref> { return dispatch(what != nullptr ? what : "", arg, callback); });
}
