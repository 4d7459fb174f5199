#include "python/server/coroutine_bridge.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

#include "python/core/ref.hpp"
#include "python/server/handler.hpp"

namespace brovane::python::server {

namespace {

using core::Ref;

// Names and objects that every scheduling uses, made once under the
// interpreter lock and kept for the life of the process.
struct BridgeNames {
  PyObject* call_soon_threadsafe = nullptr;
  PyObject* add_reader = nullptr;
  PyObject* add_done_callback = nullptr;
  PyObject* is_closed = nullptr;
  PyObject* result = nullptr;
  PyObject* done = nullptr;
  PyObject* context_kwnames = nullptr;  // ("context",)
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
  for (auto [slot, text] : {std::pair{&n.call_soon_threadsafe, "call_soon_threadsafe"},
                            std::pair{&n.add_reader, "add_reader"},
                            std::pair{&n.add_done_callback, "add_done_callback"},
                            std::pair{&n.is_closed, "is_closed"}, std::pair{&n.result, "result"},
                            std::pair{&n.done, "done"}}) {
    *slot = PyUnicode_InternFromString(text);
    if (*slot == nullptr) return core::py_error();
  }
  n.context_kwnames = Py_BuildValue("(s)", "context");
  n.task_kwnames = Py_BuildValue("(ss)", "loop", "eager_start");
  if (!n.context_kwnames || !n.task_kwnames) return core::py_error();
  BRV_ASSIGN(Ref asyncio, core::checked(PyImport_ImportModule("asyncio")));
  n.task_type = PyObject_GetAttrString(asyncio.get(), "Task");
  n.ensure_future = n.task_type ? PyObject_GetAttrString(asyncio.get(), "ensure_future") : nullptr;
  n.cancelled_error = n.ensure_future ? PyObject_GetAttrString(asyncio.get(), "CancelledError") : nullptr;
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

// One awaited coroutine, from its hand-over to the delivery of its reply.
// Held in a capsule, which the inbox and the task's done callback reference.
// Touched only under the interpreter lock.
struct Bridge {
  Ref awaitable;  // until the loop starts it
  Ref loop;
  std::shared_ptr<AwaitedReplyWait> wait;  // cleared once completed
  ResultEncoder encode;

  void deliver(AwaitedReply r) {
    std::shared_ptr<AwaitedReplyWait> w = std::move(wait);
    encode = nullptr;
    if (w) w->complete(std::move(r));
  }
  void deliver_pending_error() {
    try {
      deliver(std::unexpected(pending_error_display_text()));
    } catch (const std::bad_alloc&) {
      PyErr_Clear();
      deliver(std::unexpected(std::string("MemoryError: ")));
    }
  }
  // Dropped before completing (its loop closed first, say): cancelled.
  ~Bridge() {
    if (wait) deliver(std::unexpected(cancelled_text()));
  }
};

constexpr char kBridgeName[] = "brovane.coroutine_bridge";

Bridge* bridge_of(PyObject* capsule) noexcept {
  return static_cast<Bridge*>(PyCapsule_GetPointer(capsule, kBridgeName));
}

void destroy_bridge(PyObject* capsule) noexcept { delete bridge_of(capsule); }

// task.result() through the encoder into the wait.
void finish(Bridge* b, PyObject* task) {
  Ref r = Ref::steal(PyObject_CallMethodNoArgs(task, g_names.result));
  if (!r) return b->deliver_pending_error();
  try {
    b->deliver(b->encode(r.get()));
  } catch (const std::bad_alloc&) {
    PyErr_Clear();
    b->deliver(std::unexpected(std::string("MemoryError: ")));
  }
}

// The task's done callback. Never raises into the loop.
PyObject* bridge_done(PyObject* capsule, PyObject* task) noexcept {
  finish(bridge_of(capsule), task);
  return Py_NewRef(Py_None);
}

PyMethodDef kDoneDef = {"brovane_coroutine_done", reinterpret_cast<PyCFunction>(&bridge_done), METH_O, nullptr};

// On the loop thread, in the copied context: the awaitable becomes a task of
// the loop, watched by the done callback. A coroutine is started eagerly, so
// one that finishes without suspending is answered in this very call. An
// object that asyncio cannot run completes the wait with asyncio's error.
void start_one(PyObject* capsule) {
  Bridge* b = bridge_of(capsule);
  Ref awaitable = std::move(b->awaitable);
  Ref task;
  if (PyCoro_CheckExact(awaitable.get())) {
    PyObject* args[] = {awaitable.get(), b->loop.get(), Py_True};
    task = Ref::steal(PyObject_Vectorcall(g_names.task_type, args, 1, g_names.task_kwnames));
    if (task) {
      Ref is_done = Ref::steal(PyObject_CallMethodNoArgs(task.get(), g_names.done));
      if (is_done.get() == Py_True) return finish(b, task.get());
      if (!is_done) return b->deliver_pending_error();
    }
  } else {
    task = Ref::steal(PyObject_CallOneArg(g_names.ensure_future, awaitable.get()));
  }
  if (!task) return b->deliver_pending_error();
  Ref done = Ref::steal(PyCFunction_New(&kDoneDef, capsule));
  if (!done) return b->deliver_pending_error();
  Ref added = Ref::steal(PyObject_CallMethodOneArg(task.get(), g_names.add_done_callback, done.get()));
  if (!added) b->deliver_pending_error();
}

// The awaitables handed to one loop and not started yet. Producers append
// under the interpreter lock and ring `efd` only when the inbox was idle,
// after they have released the lock, so the loop thread wakes to a free
// lock; the loop's reader on `efd` takes them all at once. A loop that
// offers no readers gets one call_soon_threadsafe per idle-to-busy change
// instead.
struct Inbox {
  enum class Mode : std::uint8_t { Unregistered, Registering, Reader, Callbacks };

  std::weak_ptr<const TaskLocals> owner;
  const TaskLocals* key = nullptr;  // of its registry entry
  Ref loop;
  int efd = -1;
  Mode mode = Mode::Unregistered;
  bool rung = false;  // a wake-up is on its way and the loop has not drained since
  std::vector<Ref> pending;  // Bridge capsules

  ~Inbox() {
    if (efd >= 0) ::close(efd);
  }
};

constexpr char kInboxName[] = "brovane.coroutine_inbox";

Inbox* inbox_of(PyObject* capsule) noexcept {
  return static_cast<Inbox*>(PyCapsule_GetPointer(capsule, kInboxName));
}

// The inboxes by task locals (borrowed: an inbox belongs to its loop, whose
// reader holds it, or to the callback scheduled for it, and leaves the
// registry as it goes). A later loop may reuse the address of the task
// locals: an entry counts only while its owner is that very object. Under
// the interpreter lock; never freed, as threads may still use it during
// process exit.
std::unordered_map<const TaskLocals*, PyObject*>* g_inboxes = nullptr;

// Dropping an inbox drops what it still holds: each Bridge then completes as
// cancelled.
void destroy_inbox(PyObject* capsule) noexcept {
  Inbox* in = inbox_of(capsule);
  if (g_inboxes != nullptr) {
    if (auto it = g_inboxes->find(in->key); it != g_inboxes->end() && it->second == capsule) g_inboxes->erase(it);
  }
  delete in;
}

void drain(Inbox* in) {
  if (in->efd >= 0) {
    eventfd_t ignored;
    [[maybe_unused]] const int r = eventfd_read(in->efd, &ignored);
  }
  in->rung = false;
  std::vector<Ref> batch = std::move(in->pending);
  in->pending.clear();
  for (Ref& bridge : batch) {
    start_one(bridge.get());
    bridge.reset();  // a finished coroutine's bridge goes at once
  }
}

// The reader callback on `efd`, and the drain callback of Callbacks mode.
PyObject* drain_inbox(PyObject* capsule, PyObject*) noexcept {
  drain(inbox_of(capsule));
  return Py_NewRef(Py_None);
}

PyMethodDef kDrainDef = {"brovane_coroutine_drain", reinterpret_cast<PyCFunction>(&drain_inbox), METH_NOARGS,
                         nullptr};

// The first callback of an inbox, on its loop thread: installs the reader
// (made here, it runs in the copied context too), then drains.
PyObject* register_inbox(PyObject* capsule, PyObject*) noexcept {
  Inbox* in = inbox_of(capsule);
  Ref drain_fn = Ref::steal(PyCFunction_New(&kDrainDef, capsule));
  Ref added;
  if (drain_fn && in->efd >= 0) {
    PyObject* args[] = {in->loop.get(), PyLong_FromLong(in->efd), drain_fn.get()};
    if (args[1] != nullptr) {
      added = Ref::steal(PyObject_VectorcallMethod(g_names.add_reader, args, 3, nullptr));
      Py_DECREF(args[1]);
    }
  }
  if (added) {
    in->mode = Inbox::Mode::Reader;
  } else {
    PyErr_Clear();
    in->mode = Inbox::Mode::Callbacks;
  }
  drain(in);
  return Py_NewRef(Py_None);
}

PyMethodDef kRegisterDef = {"brovane_coroutine_register", reinterpret_cast<PyCFunction>(&register_inbox),
                            METH_NOARGS, nullptr};

// loop.call_soon_threadsafe(fn, context=ctx) with `fn` bound to `capsule`.
core::Status call_soon_threadsafe(PyMethodDef* def, PyObject* capsule, const TaskLocals& locals) {
  BRV_ASSIGN(Ref fn, core::checked(PyCFunction_New(def, capsule)));
  PyObject* args[] = {locals.event_loop.get(), fn.get(), locals.context.get()};
  BRV_ASSIGN(Ref r, core::checked(PyObject_VectorcallMethod(g_names.call_soon_threadsafe, args, 2,
                                                            g_names.context_kwnames)));
  return {};
}

// The inbox of a loop (a new reference), made on first use.
core::Result<Ref> inbox_for(const std::shared_ptr<const TaskLocals>& locals) {
  if (g_inboxes == nullptr) g_inboxes = new std::unordered_map<const TaskLocals*, PyObject*>();
  if (auto it = g_inboxes->find(locals.get()); it != g_inboxes->end()) {
    const Inbox* in = inbox_of(it->second);
    if (!in->owner.owner_before(locals) && !locals.owner_before(in->owner)) [[likely]]
      return Ref::borrow(it->second);
  }
  auto* in = new Inbox{};
  in->owner = locals;
  in->key = locals.get();
  in->loop = Ref::borrow(locals->event_loop.get());
  in->efd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);  // none: Callbacks mode
  Ref capsule = Ref::steal(PyCapsule_New(in, kInboxName, &destroy_inbox));
  if (!capsule) {
    delete in;
    return core::py_error();
  }
  (*g_inboxes)[locals.get()] = capsule.get();
  return capsule;
}

}  // namespace

void LoopWake::ring() const noexcept {
  if (fd >= 0) [[maybe_unused]] const int r = eventfd_write(fd, 1);
}

core::Result<LoopWake> schedule_awaitable(PyObject* awaitable, const std::shared_ptr<const TaskLocals>& locals,
                                          std::shared_ptr<AwaitedReplyWait> wait, ResultEncoder encode) {
  BRV_CHECK(init_names());
  // Held here until the loop's reader or a scheduled callback holds it.
  BRV_ASSIGN(const Ref inbox, inbox_for(locals));
  PyObject* inbox_capsule = inbox.get();
  Inbox* in = inbox_of(inbox_capsule);
  // A closed loop refuses work the way call_soon_threadsafe does.
  BRV_ASSIGN(Ref closed, core::checked(PyObject_CallMethodNoArgs(in->loop.get(), g_names.is_closed)));
  if (closed.get() == Py_True) [[unlikely]]
    BRV_CHECK(call_soon_threadsafe(&kDrainDef, inbox_capsule, *locals));  // raises the loop's own error

  auto* bridge = new Bridge{Ref::borrow(awaitable), in->loop.clone(), std::move(wait), std::move(encode)};
  Ref capsule = Ref::steal(PyCapsule_New(bridge, kBridgeName, &destroy_bridge));
  if (!capsule) {
    bridge->wait.reset();
    delete bridge;
    return core::py_error();
  }
  in->pending.push_back(capsule.clone());
  if (in->rung) return LoopWake{};
  switch (in->mode) {
    case Inbox::Mode::Registering: return LoopWake{};  // its first drain is on the way
    case Inbox::Mode::Reader: in->rung = true; return LoopWake{in->efd};
    case Inbox::Mode::Unregistered:
    case Inbox::Mode::Callbacks: break;
  }
  // Marked before the call: the loop may run the callback before the call
  // returns (the call runs Python code, which lets other threads in).
  const bool first = in->mode == Inbox::Mode::Unregistered;
  if (first) {
    in->mode = Inbox::Mode::Registering;
  } else {
    in->rung = true;
  }
  if (auto s = call_soon_threadsafe(first ? &kRegisterDef : &kDrainDef, inbox_capsule, *locals); !s) {
    // Refused, so nothing was scheduled: this caller reports the error, and
    // the others waiting fail with it.
    if (first) {
      in->mode = Inbox::Mode::Unregistered;
    } else {
      in->rung = false;
    }
    bridge->wait.reset();  // its error is the caller's to report
    std::vector<Ref> failed = std::move(in->pending);
    in->pending.clear();
    if (!failed.empty()) {
      PyObject* exc = PyErr_GetRaisedException();
      const std::string text = exc ? exception_display_text(exc) : std::string("RuntimeError: ");
      for (Ref& f : failed) bridge_of(f.get())->deliver(std::unexpected(text));
      PyErr_SetRaisedException(exc);
    }
    return std::unexpected(std::move(s).error());
  }
  return LoopWake{};
}

}  // namespace brovane::python::server
