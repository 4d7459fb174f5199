// The interpreter lock: released around blocking work, taken by native threads
// that call into Python, and references that native threads drop without it.
#pragma once

#include <Python.h>

#include <atomic>
#include <utility>

namespace brovane::python::core {

// Whether the interpreter is finalizing (or not initialised). Any thread, any
// lock state.
bool interpreter_finalizing() noexcept;

namespace detail {
// Takes the interpreter lock back through the exit gate (exit_gate.hpp). A
// thread that the gate refuses waits for the process to end instead, as the
// interpreter's own threads do in later versions: let in, the interpreter
// would end it with pthread_exit, whose unwinding cannot pass this module's
// frames. A thread let in stays counted until the module's entry point that
// it runs returns to the interpreter (leave_exit_gate_on_return).
void take_lock_back(PyThreadState* state) noexcept;
// Parks the calling thread until the process ends.
[[noreturn]] void park_thread() noexcept;

inline thread_local bool t_counted_until_return = false;
void leave_counted_until_return() noexcept;
}  // namespace detail

// At the end of each entry point of the module: a thread that took the
// interpreter lock back inside it is no longer waited for by the exit gate.
inline void leave_exit_gate_on_return() noexcept {
  if (detail::t_counted_until_return) [[unlikely]]
    detail::leave_counted_until_return();
}

// Releases the interpreter lock for the guard's scope. No Python object may be
// touched and no Ref destroyed until it ends. Only inside an entry point of
// the module (core::run), on a thread whose program has installed the exit
// gate (a client or a server exists). A thread that comes back after the
// gate has closed (a daemon thread whose call outlived the program) is
// parked at the end of the scope and never returns.
class [[nodiscard]] GilRelease {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()) {}
  ~GilRelease() { detail::take_lock_back(state_); }
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
  GilEnsure() noexcept : state_(PyGILState_Ensure()) { release_deferred_if_any(); }
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
