#include "python/server/asyncio_loop.hpp"

#include <Python.h>
#include <pthread.h>

#include <condition_variable>
#include <mutex>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "python/client/io_error_map.hpp"
#include "python/core/ref.hpp"
#include "python/server/console.hpp"
#include "python/server/coroutine_bridge.hpp"
#include "python/server/interpreter_gate.hpp"
#include "python/server/native_thread.hpp"
#include "python/server/package_import.hpp"

namespace brovane::python::server {

namespace {

using core::DeferredRef;
using core::Ref;

// "brovane-pyo3-python-loop" as the kernel keeps it: thread names hold at
// most 15 characters, and longer ones are cut there.
constexpr char kLoopThreadName[] = "brovane-pyo3-py";
static_assert(sizeof kLoopThreadName - 1 <= 15);

// A thread handle that is detached rather than terminating the process when
// it goes out of scope unjoined (on unwinding, for instance).
struct LoopThread {
  NativeThread thread;
  LoopThread() = default;
  explicit LoopThread(NativeThread t) : thread(std::move(t)) {}
  LoopThread(LoopThread&&) = default;
  LoopThread& operator=(LoopThread&&) = default;
  ~LoopThread() {
    if (thread.joinable()) thread.detach();
  }
};

// The text of the pending Python exception, which is cleared: the qualified
// name of its type, ": ", and its str() ("<exception str() failed>" when
// that fails). Needs the interpreter lock.
std::string take_error_text() {
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  if (!exc) return "unknown error";
  std::string text;
  Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(exc.get())));
  const char* name = qualname ? PyUnicode_AsUTF8(qualname.get()) : nullptr;
  if (name == nullptr) {
    PyErr_Clear();
    name = "<unknown>";
  }
  text = name;
  text += ": ";
  Ref str = Ref::steal(PyObject_Str(exc.get()));
  if (!str) {
    PyErr_Clear();
    text += "<exception str() failed>";
    return text;
  }
  Py_ssize_t n = 0;
  if (const char* p = PyUnicode_AsUTF8AndSize(str.get(), &n)) {
    text.append(p, static_cast<std::size_t>(n));
    return text;
  }
  PyErr_Clear();  // lone surrogates: replace what cannot be encoded
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(str.get(), "utf-8", "replace"));
  if (bytes) text.append(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  PyErr_Clear();
  return text;
}

// The one message a loop thread sends its creator.
struct Handshake {
  std::mutex mutex;
  std::condition_variable cv;
  std::optional<std::expected<std::shared_ptr<const TaskLocals>, std::string>> message;
  bool sender_gone = false;
};

// The loop thread's end of the handshake; dropping it unsent tells the
// creator that the thread ended early.
class HandshakeSender {
 public:
  explicit HandshakeSender(std::shared_ptr<Handshake> h) : h_(std::move(h)) {}
  HandshakeSender(const HandshakeSender&) = delete;
  HandshakeSender& operator=(const HandshakeSender&) = delete;
  ~HandshakeSender() { close(); }

  void send(std::expected<std::shared_ptr<const TaskLocals>, std::string> m) {
    std::lock_guard lock(h_->mutex);
    h_->message.emplace(std::move(m));
    h_->sender_gone = true;
    h_->cv.notify_one();
  }

 private:
  void close() noexcept {
    std::lock_guard lock(h_->mutex);
    h_->sender_gone = true;
    h_->cv.notify_one();
  }
  std::shared_ptr<Handshake> h_;
};

struct WorkerPythonAsyncio {
  std::shared_ptr<const TaskLocals> locals;
  LoopThread loop_thread;  // joinable until joined or detached
};

// The current thread's loop. Only its own thread touches it: the start hook
// fills it, coroutine calls read it, the stop hook empties it. (A thread that
// ends without its stop hook leaves its loop thread running, detached.)
struct Slot {
  std::optional<WorkerPythonAsyncio> value;
};
thread_local Slot t_worker_py_asyncio;

// Steps 2 to 5 of a loop thread's start, under the interpreter lock: a new
// loop, made the thread's current loop, and a copy of the current context.
std::expected<std::shared_ptr<const TaskLocals>, std::string> make_task_locals() {
  Ref asyncio = import_package("asyncio");
  if (!asyncio) return std::unexpected(take_error_text());
  Ref loop = Ref::steal(PyObject_CallMethod(asyncio.get(), "new_event_loop", nullptr));
  if (!loop) return std::unexpected(take_error_text());
  Ref set = Ref::steal(PyObject_CallMethod(asyncio.get(), "set_event_loop", "O", loop.get()));
  if (!set) return std::unexpected(take_error_text());
  Ref contextvars = Ref::steal(PyImport_ImportModule("contextvars"));
  if (!contextvars) return std::unexpected(take_error_text());
  Ref context = Ref::steal(PyObject_CallMethod(contextvars.get(), "copy_context", nullptr));
  if (!context) return std::unexpected(take_error_text());
  auto locals = std::make_shared<TaskLocals>();
  locals->event_loop = DeferredRef::steal(loop.release());
  locals->context = DeferredRef::steal(context.release());
  locals->intake = make_loop_intake();
  return std::shared_ptr<const TaskLocals>(std::move(locals));
}

// Prints the pending exception the way the interpreter prints an uncaught
// one (traceback to sys.stderr, sys.last_exc set). PyErr_Print would take a
// SystemExit (a coroutine handler's, raised out of run_forever) as the
// program's exit and end the process from this thread; such an exception is
// printed the same way, by sys.excepthook, without that.
void print_pending_error() {
  if (!PyErr_ExceptionMatches(PyExc_SystemExit)) return PyErr_Print();
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.get()));
  Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
  PyObject* tb_or_none = tb ? tb.get() : Py_None;
  if (PySys_SetObject("last_exc", exc.get()) < 0 || PySys_SetObject("last_type", type) < 0 ||
      PySys_SetObject("last_value", exc.get()) < 0 || PySys_SetObject("last_traceback", tb_or_none) < 0)
    PyErr_Clear();
  PyObject* hook = PySys_GetObject("excepthook");  // borrowed
  if (hook != nullptr && hook != Py_None) {
    PyObject* args[] = {type, exc.get(), tb_or_none};
    if (Ref r = Ref::steal(PyObject_Vectorcall(hook, args, 3, nullptr))) return;
    PyErr_Clear();  // a failing hook: the interpreter's own display, as PyErr_Print falls back to
  }
  PyErr_DisplayException(exc.get());
}

// loop.<name>() as a new reference, nullptr with the exception set.
PyObject* call_loop(PyObject* loop, const char* name) { return PyObject_CallMethod(loop, name, nullptr); }

// loop.run_until_complete(loop.<name>()); false with the exception set.
bool run_until_complete(PyObject* loop, const char* name) {
  Ref coro = Ref::steal(call_loop(loop, name));
  if (!coro) return false;
  PyObject* c = coro.get();
  Ref r = Ref::steal(
      core::park_if_ended([loop, c] { return PyObject_CallMethod(loop, "run_until_complete", "O", c); }));
  return static_cast<bool>(r);
}

// After run_forever: the loop's orderly end, stopping at the first failure,
// which is printed.
void shut_loop_down(PyObject* loop) {
  Ref closed = Ref::steal(call_loop(loop, "is_closed"));
  if (!closed) return print_pending_error();
  const int is_closed = PyObject_IsTrue(closed.get());
  if (is_closed < 0) return print_pending_error();
  if (is_closed) return;
  if (!run_until_complete(loop, "shutdown_asyncgens")) return print_pending_error();
  const int has = PyObject_HasAttrString(loop, "shutdown_default_executor");
  if (has && !run_until_complete(loop, "shutdown_default_executor")) return print_pending_error();
  Ref done = Ref::steal(call_loop(loop, "close"));
  if (!done) return print_pending_error();
}

// The loop's life under the interpreter lock, once its creator has it:
// run_forever until asked to stop, then its orderly end.
void run_loop(std::shared_ptr<const TaskLocals> locals) {
  InterpreterEntry entered;
  if (!entered) return;  // the interpreter is exiting; the loop is never run
  PyObject* loop = locals->event_loop.get();
  Ref ran = Ref::steal(call_loop(loop, "run_forever"));
  if (!ran) print_pending_error();
  ran.reset();
  shut_loop_down(loop);
  // The loop runs nothing more: what was handed to it and is still pending
  // is let go, and later hand-overs are refused.
  end_loop_inbox(*locals);
  Ref asyncio = import_package("asyncio");
  if (asyncio) {
    Ref r = Ref::steal(PyObject_CallMethod(asyncio.get(), "set_event_loop", "O", Py_None));
  }
  PyErr_Clear();
  asyncio.reset();
  locals.reset();  // with the lock held, so a last reference goes at once
}

// Each part runs inside a park: a thread that the finalizing interpreter
// ends in there (in run_forever, most likely) waits there for the process
// to end, and its creator hears nothing more of it.
void loop_thread_main(std::shared_ptr<Handshake> handshake) {
  pthread_setname_np(pthread_self(), kLoopThreadName);
  HandshakeSender sender(std::move(handshake));

  std::expected<std::shared_ptr<const TaskLocals>, std::string> made;
  const bool entered = core::park_if_ended([&] {
    InterpreterEntry entry;
    if (entry) made = make_task_locals();
    return static_cast<bool>(entry);
  });
  if (!entered) return;  // reported as ending before initialization
  std::shared_ptr<const TaskLocals> locals = made ? *made : nullptr;
  sender.send(std::move(made));
  if (!locals) return;
  core::park_if_ended([&] { run_loop(std::move(locals)); });
}

// Asks the loop to stop (call_soon_threadsafe(loop.stop) unless it is
// closed already); the Python error's text when that fails. Needs the
// interpreter lock.
std::optional<std::string> request_stop(PyObject* loop) {
  Ref closed = Ref::steal(call_loop(loop, "is_closed"));
  int is_closed = closed ? PyObject_IsTrue(closed.get()) : -1;
  if (is_closed == 0) {
    Ref stop = Ref::steal(PyObject_GetAttrString(loop, "stop"));
    Ref r = stop ? Ref::steal(PyObject_CallMethod(loop, "call_soon_threadsafe", "O", stop.get())) : Ref();
    if (!r) is_closed = -1;
  }
  if (is_closed < 0) return take_error_text();
  return std::nullopt;
}

// Joins a loop thread asked to stop and drops the loop's locals. Without the
// interpreter lock, which the loop thread needs to finish.
void finish(WorkerPythonAsyncio& w) {
  w.loop_thread.thread.join();
  if (InterpreterEntry entered; entered) w.locals.reset();
}

// Loops whose stop failed, kept running until retry_failed_asyncio_stops.
struct FailedStops {
  std::mutex mutex;
  std::vector<WorkerPythonAsyncio> loops;
};

FailedStops& failed_stops() {
  static FailedStops* f = new FailedStops;  // never destroyed: detached threads may outlive statics
  return *f;
}

void keep_for_retry(WorkerPythonAsyncio&& w) {
  {
    FailedStops& f = failed_stops();
    std::lock_guard lock(f.mutex);
    try {
      f.loops.push_back(std::move(w));
      return;
    } catch (const std::bad_alloc&) {
    }
  }
  // No room to keep it: the loop thread is detached as it goes.
  if (InterpreterEntry entered; entered) w.locals.reset();
}

}  // namespace

std::expected<void, std::string> ensure_current_worker_python_asyncio() {
  Slot& slot = t_worker_py_asyncio;
  if (slot.value) return {};
  auto handshake = std::make_shared<Handshake>();
  auto started = NativeThread::start([handshake]() mutable { loop_thread_main(std::move(handshake)); });
  if (!started) return std::unexpected("spawn python loop thread: " + client::io_error_from_errno(started.error()).text);
  NativeThread thread = std::move(*started);
  std::unique_lock lock(handshake->mutex);
  handshake->cv.wait(lock, [&] { return handshake->sender_gone; });
  if (handshake->message && handshake->message->has_value()) {
    slot.value.emplace(WorkerPythonAsyncio{std::move(**handshake->message), LoopThread(std::move(thread))});
    return {};
  }
  thread.detach();
  if (handshake->message) return std::unexpected(std::move(handshake->message->error()));
  return std::unexpected(std::string("python loop thread exited before initialization"));
}

std::shared_ptr<const TaskLocals> current_task_locals() noexcept {
  const Slot& slot = t_worker_py_asyncio;
  return slot.value ? slot.value->locals : nullptr;
}

void asyncio_thread_start_hook() {
  auto r = ensure_current_worker_python_asyncio();
  if (!r) print_stderr_line("python asyncio worker init error: " + r.error());
}

void asyncio_thread_stop_hook() {
  Slot& slot = t_worker_py_asyncio;
  if (!slot.value) return;
  WorkerPythonAsyncio w = std::move(*slot.value);
  slot.value.reset();

  std::optional<std::string> failure;
  {
    InterpreterEntry entered;
    if (!entered) return;  // the interpreter is exiting; the loop thread, detached, ends with the process
    failure = request_stop(w.locals->event_loop.get());
  }
  if (failure) {
    print_stderr_line("python asyncio worker shutdown error: " + *failure);
    keep_for_retry(std::move(w));
    return;
  }
  // Without the interpreter lock: the loop thread needs it to finish.
  finish(w);
}

void retry_failed_asyncio_stops() {
  std::vector<WorkerPythonAsyncio> loops;
  {
    FailedStops& f = failed_stops();
    std::lock_guard lock(f.mutex);
    loops.swap(f.loops);
  }
  for (WorkerPythonAsyncio& w : loops) {
    std::optional<std::string> failure;
    {
      InterpreterEntry entered;
      if (!entered) return;  // the interpreter is exiting: the loop threads end with the process
      failure = request_stop(w.locals->event_loop.get());
    }
    // Failed again: nothing more can be done; the loop thread is detached.
    if (!failure) finish(w);
  }
  if (InterpreterEntry entered; entered) loops.clear();
}

}  // namespace brovane::python::server
