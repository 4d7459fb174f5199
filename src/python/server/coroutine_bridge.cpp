#include "python/server/coroutine_bridge.hpp"

#include <utility>

#include "python/core/ref.hpp"
#include "python/server/handler.hpp"

namespace brovane::python::server {

namespace {

using core::Ref;

// Names and objects that every scheduling uses, made once under the
// interpreter lock and kept for the life of the process.
struct BridgeNames {
  PyObject* call_soon_threadsafe = nullptr;
  PyObject* add_done_callback = nullptr;
  PyObject* result = nullptr;
  PyObject* context_kwnames = nullptr;  // ("context",)
  PyObject* done = nullptr;
  PyObject* task_kwnames = nullptr;     // ("loop", "eager_start")
  PyObject* task_type = nullptr;        // asyncio.Task
  PyObject* ensure_future = nullptr;    // asyncio.ensure_future
  PyObject* cancelled_error = nullptr;  // asyncio.CancelledError
};
BridgeNames g_names;

core::Status init_names() {
  if (g_names.cancelled_error != nullptr) [[likely]]
    return {};
  BridgeNames n;
  n.call_soon_threadsafe = PyUnicode_InternFromString("call_soon_threadsafe");
  n.add_done_callback = PyUnicode_InternFromString("add_done_callback");
  n.result = PyUnicode_InternFromString("result");
  n.done = PyUnicode_InternFromString("done");
  if (!n.call_soon_threadsafe || !n.add_done_callback || !n.result || !n.done)
    return core::py_error();
  n.context_kwnames = Py_BuildValue("(s)", "context");
  n.task_kwnames = Py_BuildValue("(ss)", "loop", "eager_start");
  if (!n.context_kwnames || !n.task_kwnames) return core::py_error();
  BRV_ASSIGN(Ref asyncio, core::checked(PyImport_ImportModule("asyncio")));
  n.task_type = PyObject_GetAttrString(asyncio.get(), "Task");
  if (!n.task_type) return core::py_error();
  n.ensure_future = PyObject_GetAttrString(asyncio.get(), "ensure_future");
  if (!n.ensure_future) return core::py_error();
  n.cancelled_error = PyObject_GetAttrString(asyncio.get(), "CancelledError");
  if (!n.cancelled_error) return core::py_error();
  g_names = n;  // a failed attempt leaks what it made; the next one starts over
  return {};
}

// The text of a new asyncio.CancelledError. Keeps a pending exception as it
// was.
std::string cancelled_text() {
  PyObject* pending = PyErr_GetRaisedException();
  std::string text;
  if (Ref e = Ref::steal(PyObject_CallNoArgs(g_names.cancelled_error))) {
    text = exception_display_text(e.get());
  } else {
    PyErr_Clear();
    text = "CancelledError: ";
  }
  PyErr_SetRaisedException(pending);
  return text;
}

// One awaited coroutine, shared by the callback that starts it and the done
// callback (through the capsule both are bound to). Touched only under the
// interpreter lock.
struct Bridge {
  Ref awaitable;  // until the start callback runs
  Ref loop;
  std::shared_ptr<AwaitedReplyWait> wait;  // cleared once completed
  ResultEncoder encode;

  void deliver(AwaitedReply r) {
    std::shared_ptr<AwaitedReplyWait> w = std::move(wait);
    encode = nullptr;
    if (w) w->complete(std::move(r));
  }
  // Both callbacks are gone: a start callback that the loop dropped unrun
  // leaves the wait to be completed here.
  ~Bridge() {
    if (wait) deliver(std::unexpected(cancelled_text()));
  }
};

constexpr char kCapsuleName[] = "brovane.coroutine_bridge";

Bridge* bridge_of(PyObject* capsule) noexcept {
  return static_cast<Bridge*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

void destroy_bridge(PyObject* capsule) noexcept { delete bridge_of(capsule); }

// task.result() through the encoder into the wait.
void finish(Bridge* b, PyObject* task) {
  try {
    Ref r = Ref::steal(PyObject_CallMethodNoArgs(task, g_names.result));
    if (!r) {
      b->deliver(std::unexpected(pending_error_display_text()));
    } else {
      b->deliver(b->encode(r.get()));
    }
  } catch (const std::bad_alloc&) {
    PyErr_Clear();
    b->deliver(std::unexpected(std::string("MemoryError: ")));
  }
}

// The done callback, on the loop thread. Never raises into the loop.
PyObject* bridge_done(PyObject* capsule, PyObject* task) noexcept {
  finish(bridge_of(capsule), task);
  return Py_NewRef(Py_None);
}

PyMethodDef kDoneDef = {"brovane_coroutine_done", reinterpret_cast<PyCFunction>(&bridge_done), METH_O, nullptr};

// The start callback, on the loop thread in the copied context: the
// awaitable becomes a task of the loop, watched by the done callback. An
// object that asyncio cannot run completes the wait with asyncio's error.
PyObject* bridge_start(PyObject* capsule, PyObject*) noexcept {
  Bridge* b = bridge_of(capsule);
  Ref awaitable = std::move(b->awaitable);
  Ref task;
  if (PyCoro_CheckExact(awaitable.get())) {
    // Started eagerly: its first step runs now, inside this callback, so a
    // coroutine that finishes without suspending costs no further turn of
    // the loop.
    PyObject* args[] = {awaitable.get(), b->loop.get(), Py_True};
    task = Ref::steal(PyObject_Vectorcall(g_names.task_type, args, 1, g_names.task_kwnames));
    if (task) {
      Ref is_done = Ref::steal(PyObject_CallMethodNoArgs(task.get(), g_names.done));
      if (is_done.get() == Py_True) {
        finish(b, task.get());
        return Py_NewRef(Py_None);
      }
      if (!is_done) task.reset();
    }
  } else {
    task = Ref::steal(PyObject_CallOneArg(g_names.ensure_future, awaitable.get()));
  }
  Ref done;
  if (task) done = Ref::steal(PyCFunction_New(&kDoneDef, capsule));
  Ref added;
  if (done) added = Ref::steal(PyObject_CallMethodOneArg(task.get(), g_names.add_done_callback, done.get()));
  if (!added) {
    try {
      b->deliver(std::unexpected(pending_error_display_text()));
    } catch (const std::bad_alloc&) {
      PyErr_Clear();
      b->deliver(std::unexpected(std::string("MemoryError: ")));
    }
  }
  return Py_NewRef(Py_None);
}

PyMethodDef kStartDef = {"brovane_coroutine_start", reinterpret_cast<PyCFunction>(&bridge_start), METH_NOARGS,
                         nullptr};

}  // namespace

core::Status schedule_awaitable(PyObject* awaitable, const TaskLocals& locals, std::shared_ptr<AwaitedReplyWait> wait,
                                ResultEncoder encode) {
  BRV_CHECK(init_names());
  auto* bridge = new Bridge{Ref::borrow(awaitable), Ref::borrow(locals.event_loop.get()), std::move(wait),
                            std::move(encode)};
  Ref capsule = Ref::steal(PyCapsule_New(bridge, kCapsuleName, &destroy_bridge));
  if (!capsule) {
    bridge->wait.reset();
    delete bridge;
    return core::py_error();
  }
  Ref start = Ref::steal(PyCFunction_New(&kStartDef, capsule.get()));
  if (!start) {
    bridge->wait.reset();
    return core::py_error();
  }
  PyObject* args[] = {locals.event_loop.get(), start.get(), locals.context.get()};
  Ref r = Ref::steal(PyObject_VectorcallMethod(g_names.call_soon_threadsafe, args, 2, g_names.context_kwnames));
  if (!r) {
    // The loop refused it: the caller reports this error, not a cancellation.
    bridge->wait.reset();
    return core::py_error();
  }
  return {};
}

}  // namespace brovane::python::server
