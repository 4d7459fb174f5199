#include "python/server/interpreter_gate.hpp"

#include "python/core/exit_gate.hpp"
#include "python/core/gil.hpp"

namespace brovane::python::server {

InterpreterEntry::InterpreterEntry() {
  if (core::interpreter_finalizing() || !core::exit_gate::enter()) return;
  counted_ = true;
  if (PyGILState_GetThisThreadState() == nullptr) [[unlikely]] {
    // A thread's first entry. PyGILState_Ensure would make its thread state
    // itself and abort the process when that allocation fails (threads are
    // started when memory may be short); made here, a failure is a refused
    // entry. The new state is this thread's, with the count a fresh
    // PyGILState_Ensure leaves, so the release below deletes it as it would.
    PyThreadState* fresh = PyThreadState_New(PyInterpreterState_Main());
    if (fresh == nullptr) {
      counted_ = false;
      core::exit_gate::leave();
      return;
    }
    PyEval_RestoreThread(fresh);
    state_ = PyGILState_UNLOCKED;
  } else {
    state_ = PyGILState_Ensure();
  }
  entered_ = true;
  core::release_deferred_if_any();
}

InterpreterEntry::~InterpreterEntry() {
  // Unwinding after the interpreter ended this thread inside the scope, the
  // thread no longer holds the lock and must not release it.
  if (entered_ && !in_long_part_ && PyGILState_Check()) PyGILState_Release(state_);
  if (counted_) core::exit_gate::leave();
  if (staying_) core::exit_gate::leave_stay();
}

void InterpreterEntry::stop_counting() noexcept {
  if (!counted_) return;
  counted_ = false;
  staying_ = true;
  in_long_part_ = true;
  core::exit_gate::stay();
}

bool InterpreterEntry::count_again() noexcept {
  in_long_part_ = false;
  if (counted_) return true;
  if (!staying_) return counted_ = core::exit_gate::enter();
  if (!core::exit_gate::end_stay()) return false;
  staying_ = false;
  counted_ = true;
  return true;
}

RuntimeShutdownScope::RuntimeShutdownScope() noexcept { core::exit_gate::runtime_shutdown_begins(); }

RuntimeShutdownScope::~RuntimeShutdownScope() { core::exit_gate::runtime_shutdown_ends(); }

}  // namespace brovane::python::server
