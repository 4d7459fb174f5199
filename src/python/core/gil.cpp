#include "python/core/gil.hpp"

#include <unistd.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "python/core/exit_gate.hpp"

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

void take_lock_back(PyThreadState* state) noexcept {
  if (!exit_gate::inside()) {
    if (exit_gate::enter())
      t_counted_until_return = true;
    else if (!exit_gate::closed_by_this_thread()) [[unlikely]]
      park_thread();
  }
  PyEval_RestoreThread(state);
}

void leave_counted_until_return() noexcept {
  t_counted_until_return = false;
  exit_gate::leave();
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
