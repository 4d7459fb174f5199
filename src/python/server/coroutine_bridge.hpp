// Awaiting a Python awaitable from the server's runtime. The awaitable is
// handed to an asyncio loop thread-safely and run there as a task in the
// context copied for that loop; a done callback on the loop thread encodes
// its result and completes a one-shot wait that resumes the connection task
// on the runtime's io_context. Nobody holds the interpreter lock while the
// connection task is suspended.
#pragma once

#include <Python.h>

#include <expected>
#include <functional>
#include <memory>
#include <string>

#include "python/core/status.hpp"
#include "python/server/asyncio_loop.hpp"
#include "python/server/runtime.hpp"

namespace brovane::python::server {

// The reply that an awaited coroutine leads to: the encoded Reply message, or
// the text of a type 6 application exception.
using AwaitedReply = std::expected<std::string, std::string>;
using AwaitedReplyWait = Runtime::ForeignWait<AwaitedReply>;

// Turns the awaitable's result into the reply, on the loop thread and under
// the interpreter lock.
using ResultEncoder = std::move_only_function<AwaitedReply(PyObject* result)>;

// Rings a loop whose inbox has gone from idle to busy. Ring it after the
// interpreter lock is released, so that the loop thread wakes to a free lock.
struct LoopWake {
  int fd = -1;  // nothing to ring
  void ring() const noexcept;
};

// Hands `awaitable` to the loop of `locals`, thread-safely, to run there as
// an asyncio task in the context copied for that loop. Awaitables that arrive
// while the loop has not yet taken the earlier ones share one wake-up (a
// reader on an eventfd of ours, or call_soon_threadsafe where the loop has no
// readers). A coroutine is started eagerly, so one that finishes without
// suspending costs no further turn of the loop. When the task is done its
// result goes through `encode` on the loop thread and the reply completes
// `wait`; an exception (cancellation included) completes it with the
// exception's display text, as does an object that asyncio cannot run. An
// awaitable dropped unstarted (its loop went away) completes `wait` with the
// text of a new asyncio.CancelledError. Needs the interpreter lock; fails
// with the Python error when the loop refuses work (it is closed), and `wait`
// is then never completed.
core::Result<LoopWake> schedule_awaitable(PyObject* awaitable, const std::shared_ptr<const TaskLocals>& locals,
                                          std::shared_ptr<AwaitedReplyWait> wait, ResultEncoder encode);

}  // namespace brovane::python::server
