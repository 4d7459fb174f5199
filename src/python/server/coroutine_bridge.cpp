#include "python/server/coroutine_bridge.hpp"

#include <unordered_map>
#include <utility>
#include <vector>

#include "python/core/ref.hpp"
#include "python/server/handler.hpp"
#include "python/server/brvtrace.hpp"

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
    brvtrace::t0s[3] = brvtrace::now();
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

// Starts one awaitable on the loop thread, in the copied context: it becomes
// a task of the loop, watched by the done callback. An object that asyncio
// cannot run completes the wait with asyncio's error.
void start_one(PyObject* capsule) {
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
      if (is_done.get() == Py_True) return finish(b, task.get());
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
}

// The awaitables handed to one loop and not yet started. Producers append
// and the loop's drain callback takes them all, so a loop that is busy gets
// one wake-up for many coroutines. Touched only under the interpreter lock.
struct Inbox {
  std::weak_ptr<const TaskLocals> owner;
  std::vector<Ref> pending;  // Bridge capsules
  bool scheduled = false;    // a drain callback is with the loop
};

constexpr char kInboxName[] = "brovane.coroutine_inbox";

Inbox* inbox_of(PyObject* capsule) noexcept {
  return static_cast<Inbox*>(PyCapsule_GetPointer(capsule, kInboxName));
}

// Dropping an inbox drops what it still holds; each Bridge then completes
// its wait as cancelled.
void destroy_inbox(PyObject* capsule) noexcept { delete inbox_of(capsule); }

// One scheduled drain. A loop closed before running it drops it instead;
// the inbox then schedules anew next time, and what it held is cancelled.
struct Ticket {
  Ref inbox;
  bool ran = false;
  ~Ticket() {
    if (ran) return;
    Inbox* in = inbox_of(inbox.get());
    in->scheduled = false;
    std::vector<Ref> dropped = std::move(in->pending);
  }
};

constexpr char kTicketName[] = "brovane.coroutine_ticket";

void destroy_ticket(PyObject* capsule) noexcept {
  delete static_cast<Ticket*>(PyCapsule_GetPointer(capsule, kTicketName));
}

// The drain callback, on the loop thread in the copied context.
PyObject* drain_inbox(PyObject* ticket_capsule, PyObject*) noexcept {
  auto* ticket = static_cast<Ticket*>(PyCapsule_GetPointer(ticket_capsule, kTicketName));
  { long long t = brvtrace::now(); brvtrace::acc[3] += t - brvtrace::t0s[5]; brvtrace::t0s[2] = t; }
  ticket->ran = true;
  Inbox* in = inbox_of(ticket->inbox.get());
  in->scheduled = false;
  std::vector<Ref> batch = std::move(in->pending);
  in->pending.clear();
  for (Ref& bridge : batch) {
    start_one(bridge.get());
    bridge.reset();  // a finished coroutine's bridge goes at once
  }
  return Py_NewRef(Py_None);
}

PyMethodDef kDrainDef = {"brovane_coroutine_drain", reinterpret_cast<PyCFunction>(&drain_inbox), METH_NOARGS,
                         nullptr};

// The inbox of a loop, made on first use. Keyed by the task locals, whose
// address a later loop may reuse: an entry counts only while its owner is
// the same object. Under the interpreter lock.
std::unordered_map<const TaskLocals*, Ref>* g_inboxes = nullptr;  // never freed: used up to process exit

core::Result<PyObject*> inbox_for(const std::shared_ptr<const TaskLocals>& locals) {
  if (g_inboxes == nullptr) g_inboxes = new std::unordered_map<const TaskLocals*, Ref>();
  auto it = g_inboxes->find(locals.get());
  if (it != g_inboxes->end()) {
    const Inbox* in = inbox_of(it->second.get());
    const bool same = !in->owner.owner_before(locals) && !locals.owner_before(in->owner);
    if (same) return it->second.get();
  }
  // A new loop: forget the inboxes of loops that are gone.
  std::erase_if(*g_inboxes, [](const auto& e) { return inbox_of(e.second.get())->owner.expired(); });
  auto* in = new Inbox{locals, {}, false};
  Ref capsule = Ref::steal(PyCapsule_New(in, kInboxName, &destroy_inbox));
  if (!capsule) {
    delete in;
    return core::py_error();
  }
  PyObject* p = capsule.get();
  (*g_inboxes)[locals.get()] = std::move(capsule);
  return p;
}

// Hands the inbox's drain to the loop. On failure every item waiting in the
// inbox fails with the same error, which stays pending.
core::Status schedule_drain(PyObject* inbox_capsule, const TaskLocals& locals) {
  Inbox* in = inbox_of(inbox_capsule);
  in->scheduled = true;
  auto* ticket = new Ticket{Ref::borrow(inbox_capsule)};
  ticket->ran = true;  // until the loop holds it
  Ref t = Ref::steal(PyCapsule_New(ticket, kTicketName, &destroy_ticket));
  if (!t) {
    delete ticket;
  }
  Ref drain = t ? Ref::steal(PyCFunction_New(&kDrainDef, t.get())) : Ref();
  Ref r;
  if (drain) {
    ticket->ran = false;
    PyObject* args[] = {locals.event_loop.get(), drain.get(), locals.context.get()};
    r = Ref::steal(PyObject_VectorcallMethod(g_names.call_soon_threadsafe, args, 2, g_names.context_kwnames));
    if (!r) ticket->ran = true;  // refused: nothing was scheduled
  }
  if (r) return {};
  in->scheduled = false;
  std::vector<Ref> failed = std::move(in->pending);
  in->pending.clear();
  if (!failed.empty()) {
    PyObject* exc = PyErr_GetRaisedException();
    const std::string text = exc ? exception_display_text(exc) : std::string("RuntimeError: loop refused the call");
    for (Ref& f : failed) {
      Bridge* b = bridge_of(f.get());
      b->deliver(std::unexpected(text));
    }
    PyErr_SetRaisedException(exc);
  }
  return core::py_error();
}

}  // namespace

core::Status schedule_awaitable(PyObject* awaitable, const std::shared_ptr<const TaskLocals>& locals,
                                std::shared_ptr<AwaitedReplyWait> wait, ResultEncoder encode) {
  BRV_CHECK(init_names());
  BRV_ASSIGN(PyObject * inbox_capsule, inbox_for(locals));
  auto* bridge = new Bridge{Ref::borrow(awaitable), Ref::borrow(locals->event_loop.get()), std::move(wait),
                            std::move(encode)};
  Ref capsule = Ref::steal(PyCapsule_New(bridge, kCapsuleName, &destroy_bridge));
  if (!capsule) {
    bridge->wait.reset();
    delete bridge;
    return core::py_error();
  }
  Inbox* in = inbox_of(inbox_capsule);
  if (in->scheduled) {
    in->pending.push_back(std::move(capsule));
    return {};
  }
  // Kept by this function until the loop has taken the drain: a refusal is
  // this caller's error, not a cancellation.
  const Ref keep = Ref::borrow(inbox_capsule);
  in->pending.push_back(capsule.clone());
  if (auto s = schedule_drain(inbox_capsule, *locals); !s) {
    bridge->wait.reset();  // the caller reports the error itself
    return s;
  }
  return {};
}

}  // namespace brovane::python::server
