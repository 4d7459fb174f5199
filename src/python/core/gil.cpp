#include "python/core/gil.hpp"

#include <mutex>
#include <vector>

namespace brovane::python::core {

namespace {

std::mutex g_deferred_mutex;
std::vector<PyObject*>* g_deferred = nullptr;  // never freed: may be used during process exit

}  // namespace

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
