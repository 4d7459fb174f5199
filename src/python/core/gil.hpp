// The interpreter lock: released around blocking work, taken by native threads
// that call into Python, and references that native threads drop without it.
#pragma once

#include <Python.h>

#include <atomic>
#include <utility>

#include "python/core/forced_unwind.hpp"

namespace brovane::python::core {

// Whether the interpreter is finalizing (or not initialised). Any thread, any
// lock state.
bool interpreter_finalizing() noexcept;

// Threads that finalization ends.
//
// Once the interpreter has begun to finalize, any other thread that takes its
// lock is ended there by the interpreter with pthread_exit: a forced
// unwinding, which in C++ runs every frame's destructors on the way out and
// terminates the process when it meets a noexcept frame. So every place where
// a thread of ours may take the lock, or may let it go and take it back inside
// Python code (a handler, an event loop, a finalizer), runs inside
// park_if_ended: the unwinding stops there and the thread waits for the
// process to end, as later interpreters do with such threads themselves.
// Nothing waits for it. Around one call into the interpreter, no destructor
// of ours runs at all; around a larger scope, the destructors on the way are
// harmless without a thread state (a Ref leaves a last reference alone, an
// InterpreterEntry leaves the lock alone), and no frame on the way may be
// noexcept.
template <class F>
BRV_CATCHES_THREAD_EXIT decltype(auto) park_if_ended(F&& f) noexcept(noexcept(std::forward<F>(f)())) {
  try {
    return std::forward<F>(f)();
  } catch (abi::__forced_unwind&) {
    park_thread();
    __builtin_unreachable();
  }
}

// Releases the interpreter lock for the guard's scope. No Python object may be
// touched and no Ref destroyed until it ends. A thread that comes back after
// the interpreter has begun to finalize (a daemon thread whose call outlived
// the program) is parked at the end of the scope and never returns.
class [[nodiscard]] GilRelease {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()) {}
  ~GilRelease() {
    park_if_ended([s = state_] { PyEval_RestoreThread(s); });
  }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

// Runs `f` without the interpreter lock and returns its result.
template <class F>
decltype(auto) without_gil(F&& f) {
  GilRelease released;
  return std::forward<F>(f)();
}

void drain_deferred_decrefs() noexcept;

namespace detail {
inline std::atomic<bool> g_deferred_pending{false};
}

// References dropped without the lock are released on the next entry into the
// module: by a GilEnsure or by a method thunk. Cheap when nothing is queued.
inline void release_deferred_if_any() noexcept {
  if (detail::g_deferred_pending.load(std::memory_order_relaxed)) [[unlikely]]
    drain_deferred_decrefs();
}

// Takes the interpreter lock on any thread (a native thread gets a thread
// state on first use) for the guard's scope.
class [[nodiscard]] GilEnsure {
 public:
  GilEnsure() noexcept : state_(park_if_ended([] { return PyGILState_Ensure(); })) { release_deferred_if_any(); }
  ~GilEnsure() { PyGILState_Release(state_); }
  GilEnsure(const GilEnsure&) = delete;
  GilEnsure& operator=(const GilEnsure&) = delete;

 private:
  PyGILState_STATE state_;
};

// An owned reference that native threads may hold and drop without the
// interpreter lock: dropped without it, the reference is queued and released
// on the next entry into the module.
class DeferredRef {
 public:
  DeferredRef() noexcept = default;
  // Adopts a new reference; the caller holds the interpreter lock.
  static DeferredRef steal(PyObject* o) noexcept { return DeferredRef(o); }
  // Takes one more reference; the caller holds the interpreter lock.
  static DeferredRef borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return DeferredRef(o);
  }
  DeferredRef(DeferredRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  DeferredRef& operator=(DeferredRef&& other) noexcept {
    if (this != &other) {
      reset();
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  DeferredRef(const DeferredRef&) = delete;
  DeferredRef& operator=(const DeferredRef&) = delete;
  ~DeferredRef() { reset(); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void reset() noexcept;

 private:
  explicit DeferredRef(PyObject* o) noexcept : p_(o) {}
  PyObject* p_ = nullptr;
};

}  // namespace brovane::python::core
