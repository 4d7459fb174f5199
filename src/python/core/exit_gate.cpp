#include "python/core/exit_gate.hpp"

#include <Python.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "python/core/ref.hpp"

namespace brovane::python::core {

namespace {

constexpr auto kExitWait = std::chrono::seconds(5);

struct Gate {
  std::mutex mutex;
  std::condition_variable cv;
  bool closed = false;
  unsigned long closer = 0;  // PyThread_get_thread_ident of the closing thread
  int inside = 0;            // counts of enter() in progress
  int staying = 0;           // of those, the ones turned into stays
  int shutting_down = 0;     // runtimes shutting down
  void (*break_stays)() noexcept = nullptr;
};

Gate& gate() {
  static Gate* g = new Gate;  // never destroyed: threads may use it during process exit
  return *g;
}

thread_local int t_inside = 0;  // this thread's share of Gate::inside

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
    g.closer = PyThread_get_thread_ident();
    // This thread's own counts (it closes the gate from inside the module,
    // say) are not waited for.
    g.cv.wait_until(lock, deadline, [&] { return g.inside == t_inside; });
  }
  Py_END_ALLOW_THREADS;
  // With the lock: the stays (event loops) are asked to end, and are waited
  // for until they have let the lock go for the last time.
  void (*break_stays)() noexcept = nullptr;
  {
    std::lock_guard lock(g.mutex);
    break_stays = g.break_stays;
  }
  if (break_stays != nullptr) break_stays();
  Py_BEGIN_ALLOW_THREADS;
  {
    const auto deadline = std::chrono::steady_clock::now() + kExitWait;
    std::unique_lock lock(g.mutex);
    g.cv.wait_until(lock, deadline, [&] { return g.staying == 0; });
  }
  Py_END_ALLOW_THREADS;
  Py_RETURN_NONE;
}

PyMethodDef kCloseGateDef = {"_brovane_close_interpreter_gate", &close_gate, METH_NOARGS, nullptr};

}  // namespace

Status install_exit_gate() {
  static bool installed = false;  // read and written under the interpreter lock
  if (installed) [[likely]]
    return {};
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return py_error();
  Ref hook = Ref::steal(PyCFunction_New(&kCloseGateDef, nullptr));
  if (!hook) return py_error();
  Ref r = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  if (!r) return py_error();
  installed = true;
  return {};
}

namespace exit_gate {

bool enter() noexcept {
  Gate& g = gate();
  std::lock_guard lock(g.mutex);
  if (g.closed) return false;
  ++g.inside;
  ++t_inside;
  return true;
}

void leave() noexcept {
  Gate& g = gate();
  std::lock_guard lock(g.mutex);
  --t_inside;
  if (--g.inside == 0 || g.closed) g.cv.notify_all();
}

bool inside() noexcept { return t_inside > 0; }

void stay() noexcept {
  Gate& g = gate();
  std::lock_guard lock(g.mutex);
  --g.inside;
  --t_inside;
  ++g.staying;
  g.cv.notify_all();
}

bool end_stay() noexcept {
  Gate& g = gate();
  std::lock_guard lock(g.mutex);
  if (g.closed) return false;
  --g.staying;
  ++g.inside;
  ++t_inside;
  return true;
}

void leave_stay() noexcept {
  Gate& g = gate();
  std::lock_guard lock(g.mutex);
  --g.staying;
  g.cv.notify_all();
}

void set_stay_breaker(void (*fn)() noexcept) noexcept {
  Gate& g = gate();
  std::lock_guard lock(g.mutex);
  g.break_stays = fn;
}

bool closed_by_this_thread() noexcept {
  Gate& g = gate();
  std::lock_guard lock(g.mutex);
  return g.closed && g.closer == PyThread_get_thread_ident();
}

bool is_open() noexcept {
  Gate& g = gate();
  std::lock_guard lock(g.mutex);
  return !g.closed;
}

void runtime_shutdown_begins() noexcept {
  Gate& g = gate();
  std::lock_guard lock(g.mutex);
  ++g.shutting_down;
}

void runtime_shutdown_ends() noexcept {
  Gate& g = gate();
  std::lock_guard lock(g.mutex);
  if (--g.shutting_down == 0) g.cv.notify_all();
}

}  // namespace exit_gate

}  // namespace brovane::python::core
