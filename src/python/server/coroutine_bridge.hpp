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

// Schedules `awaitable` on the loop of `locals` (asyncio's
// call_soon_threadsafe, in the copied context; awaitables that arrive while
// the loop has not yet taken the earlier ones share its wake-up). On the loop
// thread it becomes a task, started eagerly; when the task is done, its result goes through `encode` and the
// reply completes `wait`; an exception (cancellation included) completes it
// with the exception's display text, as does an object that asyncio cannot
// run. When the loop drops the scheduled callback without running it (it was
// closed first), `wait` completes with the text of a new
// asyncio.CancelledError. Needs the interpreter lock; fails with the Python
// error when the loop refuses the callback, and `wait` is then never
// completed.
core::Status schedule_awaitable(PyObject* awaitable, const std::shared_ptr<const TaskLocals>& locals,
                                std::shared_ptr<AwaitedReplyWait> wait, ResultEncoder encode);

}  // namespace brovane::python::server
