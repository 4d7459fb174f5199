// Awaiting a Python awaitable from the server's runtime. The awaitable is
// handed to an asyncio loop thread-safely and run there as a task in the
// context copied for that loop; when the task is done, its outcome goes to
// the awaitable's target on the loop thread, which makes the reply and
// resumes the connection task. Nobody holds the interpreter lock while the
// connection task is suspended.
#pragma once

#include <Python.h>

#include <memory>
#include <string_view>

#include "python/core/status.hpp"
#include "python/server/asyncio_loop.hpp"

namespace brovane::python::server {

// Where an awaited coroutine's outcome goes: exactly one of the two calls is
// made, on the loop thread (or, for a hand-over that fails late, the
// scheduling thread) under the interpreter lock.
struct AwaitTarget {
  virtual ~AwaitTarget() = default;
  // The task's result.
  virtual void deliver_result(PyObject* result) = 0;
  // The display text of what the task raised, or of what kept it from
  // running (a type 6 message).
  virtual void deliver_error(std::string_view text) = 0;
};

// The eventfd a loop's inbox is rung through, closed when the last holder
// lets go: a wake-up rung after the interpreter lock is released may outlive
// the inbox, and must not write into a descriptor number reused meanwhile.
struct LoopEventFd {
  int fd;
  explicit LoopEventFd(int f) noexcept : fd(f) {}
  LoopEventFd(const LoopEventFd&) = delete;
  LoopEventFd& operator=(const LoopEventFd&) = delete;
  ~LoopEventFd();
};

// Rings a loop whose inbox has gone from idle to busy. Ring it after the
// interpreter lock is released, so that the loop thread wakes to a free lock.
// Needs no interpreter lock, to ring or to drop.
struct LoopWake {
  std::shared_ptr<const LoopEventFd> target;  // null: nothing to ring
  void ring() const noexcept;
};

// Hands `awaitable` to the loop of `locals`, thread-safely, to run there as
// an asyncio task in the context copied for that loop. Awaitables that arrive
// while the loop has not yet taken the earlier ones share one wake-up (a
// reader on an eventfd of ours, or call_soon_threadsafe where the loop has no
// readers). A coroutine is started eagerly, so one that finishes without
// suspending costs no further turn of the loop. The task is held strongly
// until it is done (asyncio itself keeps tasks only weakly, so a task
// suspended on a future that only its own coroutine references would be
// collected while pending), or until its loop thread ends. The outcome goes
// to `target`: the result, or the display text of an exception
// (cancellation included) or of asyncio's refusal of an object it cannot
// run; an awaitable dropped before it completes (its loop ended first) gets
// the text of a new asyncio.CancelledError. On success `target` has been
// taken. Needs the interpreter lock; fails with the Python error when the
// loop refuses work (it is closed), and `target` is then left with the
// caller, unless the loop answered it meanwhile (it ran the awaitable, or
// dropped it as cancelled, while the refusing call let other threads in):
// `target` is then empty.
core::Result<LoopWake> schedule_awaitable(PyObject* awaitable, const TaskLocals& locals,
                                          std::unique_ptr<AwaitTarget>& target);

// A call that its loop thread is to make (a coroutine function's call, whose
// coroutine then runs on that loop).
struct LoopCall {
  virtual ~LoopCall() = default;
  // On the loop thread, under the interpreter lock, in the loop's context.
  // Takes ownership of the call (it deletes itself, or passes itself on).
  virtual void run_on_loop(const TaskLocals& locals) noexcept = 0;
  // The loop will not make it (it has ended): made some other way. Any
  // thread, any lock state; takes ownership as run_on_loop does.
  virtual void run_elsewhere() noexcept = 0;
};

// The calls queued for one loop, without the interpreter lock. The first
// call has the loop thread set up a reader on an eventfd of ours; from then
// on a call that finds the intake idle rings it, and the reader makes every
// call queued by then. Made with the loop's task locals.
std::shared_ptr<LoopIntake> make_loop_intake();

// Queues `call` for the loop of `locals`, on the runtime thread that owns
// that loop, without the interpreter lock (the first call to a loop takes it
// briefly). False, with `call` left with the caller, when the loop takes no
// calls this way: it has ended, or it offers no readers.
bool push_loop_call(const std::shared_ptr<const TaskLocals>& locals, std::unique_ptr<LoopCall>& call);

// On the loop thread of `locals`, under the interpreter lock (a LoopCall's
// run_on_loop): runs `awaitable` there as schedule_awaitable would, started
// at once. Its outcome goes to `target`.
void start_awaitable_here(PyObject* awaitable, const TaskLocals& locals, std::unique_ptr<AwaitTarget> target);

// Called by a loop thread once its loop has stopped for good, under the
// interpreter lock: awaitables not yet started are dropped (cancelled), the
// tasks still pending are let go, the calls queued are made elsewhere, and
// later hand-overs to this loop fail with the loop's own refusal.
void end_loop_inbox(const TaskLocals& locals) noexcept;

}  // namespace brovane::python::server
