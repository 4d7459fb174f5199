#include "python/core/gil.hpp"

#include <atomic>
#include <mutex>
#include <vector>

#include "python/core/ref.hpp"

namespace brovane::python::core {

namespace {

std::mutex g_deferred_mutex;
std::vector<PyObject*>* g_deferred = nullptr;  // never freed: may be used during process exit

}  // namespace

bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return !Py_IsInitialized() || Py_IsFinalizing();  // public from 3.13 on
#else
  return !Py_IsInitialized() || _Py_IsFinalizing();
#endif
}

namespace detail {

void drop_last_reference(PyObject* o) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  PyThreadState* const state = PyThreadState_GetUnchecked();
#else
  PyThreadState* const state = _PyThreadState_UncheckedGet();
#endif
  if (state == nullptr) [[unlikely]]
    return;
  // Deallocation may run Python code (a finalizer, a warning) that lets the
  // lock go; should the finalizing interpreter end the thread in there, it
  // is parked rather than unwound out of a destructor.
  try {
    Py_DECREF(o);
  } catch (...) {
    park_thread();  // nothing else unwinds out of the interpreter
  }
}

}  // namespace detail

void DeferredRef::reset() noexcept {
  PyObject* o = std::exchange(p_, nullptr);
  if (o == nullptr) return;
  if (PyGILState_Check()) {
    drop_reference(o);
    return;
  }
  try {
    std::lock_guard lock(g_deferred_mutex);
    if (g_deferred == nullptr) g_deferred = new std::vector<PyObject*>();
    g_deferred->push_back(o);
    detail::g_deferred_pending.store(true, std::memory_order_relaxed);
  } catch (...) {
    // Out of memory: leaking one reference is the only safe choice without the lock.
  }
}

void drain_deferred_decrefs() noexcept {
  std::vector<PyObject*> pending;
  {
    std::lock_guard lock(g_deferred_mutex);
    if (g_deferred == nullptr) return;
    pending.swap(*g_deferred);
    detail::g_deferred_pending.store(false, std::memory_order_relaxed);
  }
  // Outside the mutex: a decref may run a finalizer that drops more references.
  for (PyObject* o : pending) drop_reference(o);
}

}  // namespace brovane::python::core
