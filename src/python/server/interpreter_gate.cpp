#include "python/server/interpreter_gate.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "python/core/gil.hpp"
#include "python/core/ref.hpp"

namespace brovane::python::server {

namespace {

using core::Ref;

constexpr auto kExitWait = std::chrono::seconds(5);

struct Gate {
  std::mutex mutex;
  std::condition_variable cv;
  bool closed = false;
  int inside = 0;         // counted entries in progress
  int shutting_down = 0;  // runtimes shutting down
};

Gate& gate() {
  static Gate* g = new Gate;  // never destroyed: threads may use it during process exit
  return *g;
}

// The atexit hook: runs on the exiting thread, with the lock, before the
// interpreter begins to finalize.
PyObject* close_gate(PyObject*, PyObject*) noexcept {
  Gate& g = gate();
  Py_BEGIN_ALLOW_THREADS;
  {
    const auto deadline = std::chrono::steady_clock::now() + kExitWait;
    std::unique_lock lock(g.mutex);
    g.cv.wait_until(lock, deadline, [&] { return g.shutting_down == 0; });
    g.closed = true;
    g.cv.wait_until(lock, deadline, [&] { return g.inside == 0; });
  }
  Py_END_ALLOW_THREADS;
  Py_RETURN_NONE;
}

PyMethodDef kCloseGateDef = {"_brovane_close_interpreter_gate", &close_gate, METH_NOARGS, nullptr};

}  // namespace

InterpreterEntry::InterpreterEntry() {
  Gate& g = gate();
  {
    std::lock_guard lock(g.mutex);
    if (g.closed || core::interpreter_finalizing()) return;
    ++g.inside;
  }
  counted_ = true;
  if (PyGILState_GetThisThreadState() == nullptr) [[unlikely]] {
    // A thread's first entry. PyGILState_Ensure would make its thread state
    // itself and abort the process when that allocation fails (threads are
    // started when memory may be short); made here, a failure is a refused
    // entry. The new state is this thread's, with the count a fresh
    // PyGILState_Ensure leaves, so the release below deletes it as it would.
    PyThreadState* fresh = PyThreadState_New(PyInterpreterState_Main());
    if (fresh == nullptr) {
      stop_counting();
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
  if (entered_ && PyGILState_Check()) PyGILState_Release(state_);
  if (counted_) stop_counting();
}

void InterpreterEntry::stop_counting() noexcept {
  if (!counted_) return;
  counted_ = false;
  Gate& g = gate();
  std::lock_guard lock(g.mutex);
  if (--g.inside == 0) g.cv.notify_all();
}

bool InterpreterEntry::count_again() noexcept {
  if (counted_) return true;
  Gate& g = gate();
  std::lock_guard lock(g.mutex);
  if (g.closed) return false;
  ++g.inside;
  counted_ = true;
  return true;
}

RuntimeShutdownScope::RuntimeShutdownScope() noexcept {
  Gate& g = gate();
  std::lock_guard lock(g.mutex);
  ++g.shutting_down;
}

RuntimeShutdownScope::~RuntimeShutdownScope() {
  Gate& g = gate();
  std::lock_guard lock(g.mutex);
  if (--g.shutting_down == 0) g.cv.notify_all();
}

bool interpreter_open() noexcept {
  Gate& g = gate();
  std::lock_guard lock(g.mutex);
  return !g.closed && !core::interpreter_finalizing();
}

core::Status install_interpreter_exit_gate() {
  static bool installed = false;  // read and written under the interpreter lock
  if (installed) return {};
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return core::py_error();
  Ref hook = Ref::steal(PyCFunction_New(&kCloseGateDef, nullptr));
  if (!hook) return core::py_error();
  Ref r = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  if (!r) return core::py_error();
  installed = true;
  return {};
}

}  // namespace brovane::python::server
