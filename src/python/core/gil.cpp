#include "python/core/gil.hpp"

#include <unistd.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "python/core/ref.hpp"

namespace brovane::python::core {

namespace {

std::mutex g_deferred_mutex;
std::vector<PyObject*>* g_deferred = nullptr;  // never freed: may be used during process exit

std::atomic<unsigned long> g_main_thread{0};

}  // namespace

bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return !Py_IsInitialized() || Py_IsFinalizing();  // public from 3.13 on
#else
  return !Py_IsInitialized() || _Py_IsFinalizing();
#endif
}

int note_main_thread() noexcept {
  const Ref threading = Ref::steal(PyImport_ImportModule("threading"));
  if (!threading) return -1;
  const Ref main = Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
  if (!main) return -1;
  const Ref ident = Ref::steal(PyObject_GetAttrString(main.get(), "ident"));
  if (!ident) return -1;
  const unsigned long id = PyLong_AsUnsignedLong(ident.get());
  if (id == static_cast<unsigned long>(-1) && PyErr_Occurred()) return -1;
  g_main_thread.store(id, std::memory_order_relaxed);
  return 0;
}

namespace detail {

bool reentry_refused() noexcept {
  if (!interpreter_finalizing()) [[likely]]
    return false;
  const unsigned long main = g_main_thread.load(std::memory_order_relaxed);
  return main != 0 && PyThread_get_thread_ident() != main;
}

void park_thread() noexcept {
  for (;;) ::pause();
}

}  // namespace detail

void DeferredRef::reset() noexcept {
  PyObject* o = std::exchange(p_, nullptr);
  if (o == nullptr) return;
  if (PyGILState_Check()) {
    Py_DECREF(o);
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
  for (PyObject* o : pending) Py_DECREF(o);
}

}  // namespace brovane::python::core
