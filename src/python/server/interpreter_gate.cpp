#include "python/server/interpreter_gate.hpp"

#include "python/core/gil.hpp"

namespace brovane::python::server {

InterpreterEntry::InterpreterEntry() {
  if (core::interpreter_finalizing()) return;
  if (PyGILState_GetThisThreadState() == nullptr) [[unlikely]] {
    // A thread's first entry. PyGILState_Ensure would make its thread state
    // itself and abort the process when that allocation fails (threads are
    // started when memory may be short); made here, a failure is a refused
    // entry. The new state is this thread's, with the count a fresh
    // PyGILState_Ensure leaves, so the release below deletes it as it would.
    PyThreadState* fresh = PyThreadState_New(PyInterpreterState_Main());
    if (fresh == nullptr) return;
    core::park_if_ended([fresh] { PyEval_RestoreThread(fresh); });
    state_ = PyGILState_UNLOCKED;
  } else {
    state_ = core::park_if_ended([] { return PyGILState_Ensure(); });
  }
  entered_ = true;
  core::release_deferred_if_any();
}

InterpreterEntry::~InterpreterEntry() {
  // Unwinding after the finalizing interpreter ended this thread inside the
  // scope, the thread no longer holds the lock and must not release it.
  if (entered_ && PyGILState_Check()) PyGILState_Release(state_);
}

}  // namespace brovane::python::server
