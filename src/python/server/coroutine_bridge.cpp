#include "python/server/coroutine_bridge.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <new>
#include <string>
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
  PyObject* result = nullptr;
  PyObject* done = nullptr;
  PyObject* ready = nullptr;      // "_ready", the loop's callbacks due now
  PyObject* scheduled = nullptr;  // "_scheduled", its timers
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
                            std::pair{&n.add_done_callback, "add_done_callback"}, std::pair{&n.result, "result"},
                            std::pair{&n.done, "done"}, std::pair{&n.ready, "_ready"},
                            std::pair{&n.scheduled, "_scheduled"}}) {
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

struct Inbox;

// One awaited coroutine, from its hand-over to the delivery of its outcome.
// Held in a capsule, which the inbox and the task's done callback reference.
// Touched only under the interpreter lock.
struct Bridge {
  Ref awaitable;  // until the loop starts it
  std::unique_ptr<AwaitTarget> target;  // until delivered
  Inbox* inbox = nullptr;  // the loop's inbox, alive while the bridge waits in it or starts

  // The pending task, held until its done callback has run, on its inbox's
  // list of running bridges meanwhile.
  Ref task;
  Inbox* listed_in = nullptr;
  Bridge* prev = nullptr;
  Bridge* next = nullptr;

  void deliver_result(PyObject* result) {
    std::unique_ptr<AwaitTarget> t = std::move(target);
    if (!t) return;
    try {
      t->deliver_result(result);
    } catch (const std::bad_alloc&) {
      PyErr_Clear();
      t->deliver_error("MemoryError: ");
    }
  }
  void deliver_error(std::string_view text) {
    if (std::unique_ptr<AwaitTarget> t = std::move(target)) t->deliver_error(text);
  }
  void deliver_pending_error() {
    if (!target) return PyErr_Clear();
    try {
      deliver_error(pending_error_display_text());
    } catch (const std::bad_alloc&) {
      PyErr_Clear();
      deliver_error("MemoryError: ");
    }
  }
  void link(Inbox* in, Ref t) noexcept;
  void unlink() noexcept;

  // The outcome of an awaitable its loop will never finish.
  void deliver_cancelled() noexcept {
    if (!target) return;
    try {
      deliver_error(cancelled_text());
    } catch (const std::bad_alloc&) {
      deliver_error("CancelledError: ");
    }
  }

  // Dropped before completing (its loop ended first, say): cancelled.
  ~Bridge() {
    unlink();
    deliver_cancelled();
  }
};

// The awaitables handed to one loop and not started yet, and the bridges
// whose tasks are still pending on it. Producers append under the
// interpreter lock and ring `efd` only when the inbox was idle, after they
// have released the lock, so the loop thread wakes to a free lock; the
// loop's reader on `efd` takes them all at once. A loop that offers no
// readers gets one call_soon_threadsafe per idle-to-busy change instead.
// Owned by the loop's task locals (and its reader, or a scheduled callback).
struct Inbox {
  enum class Mode : std::uint8_t { Unregistered, Registering, Reader, Callbacks };

  Ref loop;  // until the loop thread ends
  std::shared_ptr<const LoopEventFd> efd;  // none: Callbacks mode
  Mode mode = Mode::Unregistered;
  bool rung = false;   // a wake-up is on its way and the loop has not drained since
  bool ended = false;  // the loop thread is done with the loop
  std::vector<Ref> pending;  // Bridge capsules
  Bridge* running = nullptr;  // head of the running bridges

  // Drops what the loop will never run: each bridge not yet started
  // completes as cancelled, and so does each one whose task is still
  // pending, there and then: such a task is let go, but it lives on in its
  // reference cycle (task, coroutine, awaited future) until the collector
  // happens to free it, and never with the collector disabled. (asyncio
  // reports each pending task it collects, as for any abandoned task.)
  void release_work() noexcept {
    std::vector<Ref> unstarted = std::move(pending);
    pending.clear();
    unstarted.clear();
    // Answering or letting a task go may end others (and unlink them): take
    // the head anew each time.
    while (Bridge* b = running) {
      b->deliver_cancelled();
      Ref t = std::move(b->task);
      b->unlink();
      t.reset();
    }
  }

  ~Inbox() {
    release_work();
  }
};

void Bridge::link(Inbox* in, Ref t) noexcept {
  task = std::move(t);
  listed_in = in;
  prev = nullptr;
  next = in->running;
  if (next) next->prev = this;
  in->running = this;
}

void Bridge::unlink() noexcept {
  if (listed_in == nullptr) return;
  if (prev) {
    prev->next = next;
  } else {
    listed_in->running = next;
  }
  if (next) next->prev = prev;
  listed_in = nullptr;
  prev = next = nullptr;
}

constexpr char kBridgeName[] = "brovane.coroutine_bridge";
constexpr char kInboxName[] = "brovane.coroutine_inbox";

Bridge* bridge_of(PyObject* capsule) noexcept {
  return static_cast<Bridge*>(PyCapsule_GetPointer(capsule, kBridgeName));
}

void destroy_bridge(PyObject* capsule) noexcept { delete bridge_of(capsule); }

Inbox* inbox_of(PyObject* capsule) noexcept {
  return static_cast<Inbox*>(PyCapsule_GetPointer(capsule, kInboxName));
}

void destroy_inbox(PyObject* capsule) noexcept { delete inbox_of(capsule); }

// task.result() to the target.
void finish(Bridge* b, PyObject* task) {
  Ref r = Ref::steal(PyObject_CallMethodNoArgs(task, g_names.result));
  if (!r) return b->deliver_pending_error();
  b->deliver_result(r.get());
}

// The task's done callback: the outcome goes out, and the task is let go.
// Never raises into the loop.
PyObject* bridge_done(PyObject* capsule, PyObject* task) noexcept {
  return core::park_if_ended([&]() -> PyObject* {
    Bridge* b = bridge_of(capsule);
    finish(b, task);
    Ref held = std::move(b->task);  // the loop's handle still holds the task
    b->unlink();
    return Py_NewRef(Py_None);
  });
}

PyMethodDef kDoneDef = {"brovane_coroutine_done", reinterpret_cast<PyCFunction>(&bridge_done), METH_O, nullptr};

// On the loop thread, in the copied context: the awaitable becomes a task of
// the loop, watched by the done callback. A coroutine is started eagerly, so
// one that finishes without suspending is answered in this very call. An
// object that asyncio cannot run gets asyncio's error.
void start_one(PyObject* capsule) {
  Bridge* b = bridge_of(capsule);
  Inbox* in = b->inbox;
  Ref awaitable = std::move(b->awaitable);
  Ref task;
  if (PyCoro_CheckExact(awaitable.get())) {
    PyObject* args[] = {awaitable.get(), in->loop.get(), Py_True};
    // The coroutine's first step runs here; a thread that the finalizing
    // interpreter ends inside it stays parked there.
    task = Ref::steal(
        core::park_if_ended([&args] { return PyObject_Vectorcall(g_names.task_type, args, 1, g_names.task_kwnames); }));
    if (task) {
      Ref is_done = Ref::steal(PyObject_CallMethodNoArgs(task.get(), g_names.done));
      if (is_done.get() == Py_True) return finish(b, task.get());
      if (!is_done) return b->deliver_pending_error();
    }
  } else {
    PyObject* const object = awaitable.get();
    task = Ref::steal(core::park_if_ended([object] { return PyObject_CallOneArg(g_names.ensure_future, object); }));
  }
  if (!task) return b->deliver_pending_error();
  Ref done = Ref::steal(PyCFunction_New(&kDoneDef, capsule));
  if (!done) return b->deliver_pending_error();
  Ref added = Ref::steal(PyObject_CallMethodOneArg(task.get(), g_names.add_done_callback, done.get()));
  if (!added) return b->deliver_pending_error();
  b->link(in, std::move(task));
}

void drain(Inbox* in) {
  if (in->efd) {
    eventfd_t ignored;
    [[maybe_unused]] const int r = eventfd_read(in->efd->fd, &ignored);
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
  return core::park_if_ended([&]() -> PyObject* {
    Inbox* in = inbox_of(capsule);
    if (!in->ended) drain(in);
    return Py_NewRef(Py_None);
  });
}

PyMethodDef kDrainDef = {"brovane_coroutine_drain", reinterpret_cast<PyCFunction>(&drain_inbox), METH_NOARGS,
                         nullptr};

// The first callback of an inbox, on its loop thread: installs the reader
// (made here, it runs in the copied context too), then drains.
PyObject* register_inbox(PyObject* capsule, PyObject*) noexcept {
  return core::park_if_ended([&]() -> PyObject* {
    Inbox* in = inbox_of(capsule);
    if (in->ended) return Py_NewRef(Py_None);
    Ref drain_fn = Ref::steal(PyCFunction_New(&kDrainDef, capsule));
    Ref added;
    if (drain_fn && in->efd) {
      PyObject* args[] = {in->loop.get(), PyLong_FromLong(in->efd->fd), drain_fn.get()};
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
  });
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

// The inbox of a loop, made on first use and kept by its task locals.
core::Result<Inbox*> inbox_for(const TaskLocals& locals) {
  if (locals.inbox) [[likely]]
    return inbox_of(locals.inbox.get());
  auto* in = new Inbox{};
  in->loop = Ref::borrow(locals.event_loop.get());
  if (const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); fd >= 0) {
    try {
      in->efd = std::make_shared<const LoopEventFd>(fd);
    } catch (const std::bad_alloc&) {
      ::close(fd);
    }
  }
  Ref capsule = Ref::steal(PyCapsule_New(in, kInboxName, &destroy_inbox));
  if (!capsule) {
    delete in;
    return core::py_error();
  }
  locals.inbox = core::DeferredRef::steal(capsule.release());
  return in;
}

// A hand-over to a loop whose thread has ended: the loop's own refusal (it
// is closed), or, should it still take work that nobody will run, the text
// of a cancellation.
[[gnu::cold]] core::Status refuse_for_ended_loop(const TaskLocals& locals) {
  BRV_CHECK(call_soon_threadsafe(&kDrainDef, locals.inbox.get(), locals));
  PyErr_SetNone(g_names.cancelled_error);
  return core::py_error();
}

// A Bridge for `awaitable` bound for the loop of `in`, in a capsule; null
// with the Python error set, `target` then left with the caller.
Ref new_bridge(PyObject* awaitable, Inbox* in, std::unique_ptr<AwaitTarget>& target) {
  auto* bridge = new Bridge{};
  bridge->awaitable = Ref::borrow(awaitable);
  bridge->target = std::move(target);
  bridge->inbox = in;
  Ref capsule = Ref::steal(PyCapsule_New(bridge, kBridgeName, &destroy_bridge));
  if (!capsule) {
    target = std::move(bridge->target);
    delete bridge;
  }
  return capsule;
}

}  // namespace

struct LoopIntake {
  enum class State : std::uint8_t {
    Unregistered,  // no call yet
    Registering,   // the first call's set-up is on its way to the loop
    Open,          // the loop's reader takes the calls
    Closed,        // the loop has ended, or has no readers: no calls this way
  };
  std::mutex mutex;
  State state = State::Unregistered;
  bool rung = false;  // a ring is on its way and the reader has not drained since
  std::vector<std::unique_ptr<LoopCall>> queue;
  std::atomic<bool> has_calls{false};  // `queue` is not empty; read without the mutex
  std::shared_ptr<const LoopEventFd> efd;  // made with the first call
};

namespace {

constexpr char kIntakeName[] = "brovane.loop_intake";

// What the loop's callbacks hold of an intake: its task locals, weakly (the
// loop thread holds them strongly for as long as its loop runs), so that the
// loop's reader does not keep its own loop alive.
struct IntakeHandle {
  std::weak_ptr<const TaskLocals> locals;
};

void destroy_intake_handle(PyObject* capsule) noexcept {
  delete static_cast<IntakeHandle*>(PyCapsule_GetPointer(capsule, kIntakeName));
}

std::shared_ptr<const TaskLocals> intake_locals(PyObject* capsule) noexcept {
  auto* h = static_cast<IntakeHandle*>(PyCapsule_GetPointer(capsule, kIntakeName));
  return h ? h->locals.lock() : nullptr;
}

// Takes the queued calls; `rung` is reset with them.
std::vector<std::unique_ptr<LoopCall>> take_calls(LoopIntake& in) {
  std::lock_guard lock(in.mutex);
  in.rung = false;
  in.has_calls.store(false, std::memory_order_relaxed);
  std::vector<std::unique_ptr<LoopCall>> batch = std::move(in.queue);
  in.queue.clear();
  return batch;
}

void make_calls(const TaskLocals& locals) {
  for (std::unique_ptr<LoopCall>& c : take_calls(*locals.intake)) c.release()->run_on_loop(locals);
}

// How long a loop thread that has made its calls waits for the next one,
// without the interpreter lock, before it goes back to its loop's own wait:
// a call that comes meanwhile (at low load, the next request of a
// connection) finds the thread awake instead of asleep in the loop's
// selector, which would cost it a wake-up. It waits only when the loop has
// nothing else to run, and a file of the loop's own that becomes ready
// meanwhile waits no longer than this.
constexpr std::int64_t kLingerNs = 50'000;

std::int64_t now_ns() noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Whether the loop has callbacks due or timers set, by asyncio's own lists
// (a failure to read them counts as work). Under the interpreter lock.
bool loop_has_work(PyObject* loop) noexcept {
  for (PyObject* name : {g_names.ready, g_names.scheduled}) {
    const Ref list = Ref::steal(PyObject_GetAttr(loop, name));
    const Py_ssize_t n = list ? PyObject_Length(list.get()) : -1;
    if (n != 0) {
      PyErr_Clear();
      return true;
    }
  }
  return false;
}

// On the loop thread, under the interpreter lock, which it lets go while it
// waits; taken back directly, as the loop's selector does.
bool linger_for_calls(const TaskLocals& locals) noexcept {
  LoopIntake& in = *locals.intake;
  if (in.has_calls.load(std::memory_order_relaxed) || loop_has_work(locals.event_loop.get())) return false;
  PyThreadState* state = PyEval_SaveThread();
  const std::int64_t until = now_ns() + kLingerNs;
  while (!in.has_calls.load(std::memory_order_relaxed) && now_ns() < until) __builtin_ia32_pause();
  core::park_if_ended([state] { PyEval_RestoreThread(state); });
  return in.has_calls.load(std::memory_order_relaxed);
}

// The reader on the intake's eventfd. Calls that came while the thread
// lingered are made there and then; one more linger waits for the loop's
// next turn, so that the loop's own work is not held back by a stream of
// calls. (Those calls rang the eventfd as well, so that turn comes at once.)
PyObject* drain_intake(PyObject* capsule, PyObject*) noexcept {
  return core::park_if_ended([&]() -> PyObject* {
    if (std::shared_ptr<const TaskLocals> locals = intake_locals(capsule)) {
      eventfd_t ignored;
      [[maybe_unused]] const int r = eventfd_read(locals->intake->efd->fd, &ignored);
      make_calls(*locals);
      if (linger_for_calls(*locals)) make_calls(*locals);
    }
    return Py_NewRef(Py_None);
  });
}

PyMethodDef kIntakeDrainDef = {"brovane_loop_calls", reinterpret_cast<PyCFunction>(&drain_intake), METH_NOARGS,
                               nullptr};

// The first call's set-up, on the loop thread: the reader on the eventfd
// (made here, it runs in the copied context too), then the calls queued so
// far. A loop without readers takes no more calls this way.
PyObject* register_intake(PyObject* capsule, PyObject*) noexcept {
  return core::park_if_ended([&]() -> PyObject* {
    std::shared_ptr<const TaskLocals> locals = intake_locals(capsule);
    if (!locals) return Py_NewRef(Py_None);
    LoopIntake& in = *locals->intake;
    Ref drain_fn = Ref::steal(PyCFunction_New(&kIntakeDrainDef, capsule));
    Ref added;
    if (drain_fn) {
      PyObject* args[] = {locals->event_loop.get(), PyLong_FromLong(in.efd->fd), drain_fn.get()};
      if (args[1] != nullptr) {
        added = Ref::steal(PyObject_VectorcallMethod(g_names.add_reader, args, 3, nullptr));
        Py_DECREF(args[1]);
      }
    }
    if (!added) PyErr_Clear();
    {
      std::lock_guard lock(in.mutex);
      if (in.state == LoopIntake::State::Registering)
        in.state = added ? LoopIntake::State::Open : LoopIntake::State::Closed;
    }
    make_calls(*locals);
    return Py_NewRef(Py_None);
  });
}

PyMethodDef kIntakeRegisterDef = {"brovane_loop_calls_register", reinterpret_cast<PyCFunction>(&register_intake),
                                  METH_NOARGS, nullptr};

// request_intake_registration's work, under the lock.
bool register_intake_from_worker(const std::shared_ptr<const TaskLocals>& locals) {
  RuntimeThreadGil gil;
  if (!gil) return false;
  if (!init_names()) return false;
  auto* handle = new IntakeHandle{locals};
  Ref capsule = Ref::steal(PyCapsule_New(handle, kIntakeName, &destroy_intake_handle));
  if (!capsule) {
    delete handle;
    PyErr_Clear();
    return false;
  }
  return call_soon_threadsafe(&kIntakeRegisterDef, capsule.get(), *locals).has_value();
}

// Asks the loop thread to set the intake's reader up; false when the loop
// refuses (it is closed) or the interpreter is closing.
bool request_intake_registration(const std::shared_ptr<const TaskLocals>& locals) {
  // Inside a park: a finalizing interpreter may end this thread in there.
  return core::park_if_ended([&] { return register_intake_from_worker(locals); });
}

// Ends the intake: no more calls this way, and those queued are made
// elsewhere.
void close_intake(LoopIntake& in) noexcept {
  std::vector<std::unique_ptr<LoopCall>> left;
  {
    std::lock_guard lock(in.mutex);
    in.state = LoopIntake::State::Closed;
    in.has_calls.store(false, std::memory_order_relaxed);
    left.swap(in.queue);
  }
  for (std::unique_ptr<LoopCall>& c : left) c.release()->run_elsewhere();
}

}  // namespace

std::shared_ptr<LoopIntake> make_loop_intake() { return std::make_shared<LoopIntake>(); }

bool push_loop_call(const std::shared_ptr<const TaskLocals>& locals, std::unique_ptr<LoopCall>& call) {
  LoopIntake& in = *locals->intake;
  std::unique_lock lock(in.mutex);
  switch (in.state) {
    case LoopIntake::State::Closed: return false;
    case LoopIntake::State::Registering:
      in.queue.push_back(std::move(call));
      in.has_calls.store(true, std::memory_order_relaxed);
      return true;
    case LoopIntake::State::Open: {
      in.queue.push_back(std::move(call));
      in.has_calls.store(true, std::memory_order_relaxed);
      if (in.rung) return true;
      in.rung = true;
      const std::shared_ptr<const LoopEventFd> efd = in.efd;
      lock.unlock();
      LoopWake{efd}.ring();
      return true;
    }
    case LoopIntake::State::Unregistered: break;
  }
  const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) {
    in.state = LoopIntake::State::Closed;
    return false;
  }
  in.efd = std::make_shared<const LoopEventFd>(fd);
  in.state = LoopIntake::State::Registering;
  in.queue.push_back(std::move(call));
  in.has_calls.store(true, std::memory_order_relaxed);
  lock.unlock();
  if (!request_intake_registration(locals)) close_intake(in);
  return true;
}

void start_awaitable_here(PyObject* awaitable, const TaskLocals& locals, std::unique_ptr<AwaitTarget> target) {
  if (core::Status named = init_names(); !named) return target->deliver_error(python_error_display_text(named.error()));
  core::Result<Inbox*> in = inbox_for(locals);
  if (!in) return target->deliver_error(python_error_display_text(in.error()));
  Ref capsule = new_bridge(awaitable, *in, target);
  if (!capsule) return target->deliver_error(pending_error_display_text());
  start_one(capsule.get());
}

LoopEventFd::~LoopEventFd() {
  if (fd >= 0) ::close(fd);
}

void LoopWake::ring() const noexcept {
  if (target) [[maybe_unused]] const int r = eventfd_write(target->fd, 1);
}

core::Result<LoopWake> schedule_awaitable(PyObject* awaitable, const TaskLocals& locals,
                                          std::unique_ptr<AwaitTarget>& target) {
  BRV_CHECK(init_names());
  BRV_ASSIGN(Inbox* const in, inbox_for(locals));
  PyObject* inbox_capsule = locals.inbox.get();
  if (in->ended) [[unlikely]] {
    BRV_CHECK(refuse_for_ended_loop(locals));
  }

  Ref capsule = new_bridge(awaitable, in, target);
  if (!capsule) return core::py_error();
  Bridge* const bridge = bridge_of(capsule.get());
  in->pending.push_back(Ref::borrow(capsule.get()));
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
  if (auto s = call_soon_threadsafe(first ? &kRegisterDef : &kDrainDef, inbox_capsule, locals); !s) {
    // Refused, so nothing was scheduled: this caller reports the error, and
    // the others waiting fail with it.
    if (first) {
      in->mode = Inbox::Mode::Unregistered;
    } else {
      in->rung = false;
    }
    // `capsule` kept the bridge alive through the call, which may have let
    // the loop thread run it, or drop it with the rest of the inbox; its
    // target is empty then, already answered.
    target = std::move(bridge->target);  // its error is the caller's to report
    std::vector<Ref> failed = std::move(in->pending);
    in->pending.clear();
    // Held aside while the bridges go: dropping an unstarted coroutine may
    // run Python code (its never-awaited warning).
    PyObject* exc = PyErr_GetRaisedException();
    if (failed.size() > 1) {
      const std::string text = exc ? exception_display_text(exc) : std::string("RuntimeError: ");
      for (Ref& f : failed) bridge_of(f.get())->deliver_error(text);
    }
    failed.clear();
    capsule.reset();
    PyErr_SetRaisedException(exc);
    return std::unexpected(std::move(s).error());
  }
  return LoopWake{};
}

void end_loop_inbox(const TaskLocals& locals) noexcept {
  if (locals.intake) close_intake(*locals.intake);
  if (!locals.inbox) return;  // no coroutine ever came to this loop
  Inbox* in = inbox_of(locals.inbox.get());
  in->ended = true;
  in->release_work();
  in->loop.reset();  // the loop's reader may keep the inbox for as long as the loop lives
}

}  // namespace brovane::python::server
