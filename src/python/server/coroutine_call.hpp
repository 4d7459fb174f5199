// A coroutine function's request, from the connection task that received it
// to its reply. The call goes to the asyncio loop of the connection's runtime
// thread, whose thread makes it there when calling the function runs none of
// its code (a plain `async def` function, or a method of one) and runs the
// coroutine at once. Any other callable marked as a coroutine function may
// block when called, so its call is a blocking-pool job of its own, holding
// the interpreter lock, and its coroutine is handed to the loop from there;
// so is every call that the loop does not take (it has ended, or the thread
// has no loop). Every outcome, whichever thread reaches it, becomes the reply
// bytes that resume the connection task. The arguments are decoded where
// the function is called, from the request message: that thread then reads
// and frees them too, all in its own cache, where a worker that decoded them
// would find its next request's memory held in the loop thread's.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>

#include "protocol/types.hpp"
#include "python/server/asyncio_loop.hpp"
#include "python/server/context.hpp"
#include "python/server/coroutine_bridge.hpp"
#include "python/server/runtime.hpp"
#include "python/types/descriptors.hpp"
#include "python/types/enums.hpp"
#include "python/types/service.hpp"

namespace brovane::python::server {

// Resumes the connection task with the reply (a Reply, or an Exception of
// type 6, or 1, never made here), or with the error that ends the connection
// (the arguments could not be decoded).
using CoroutineOutcome = std::expected<std::string, protocol::IoError>;
using CoroutineReplyWait = Runtime::ForeignWait<CoroutineOutcome>;

// The arguments and destination of one call. Shared parts are held by
// reference count; none needs the interpreter lock to be dropped.
struct CoroutineCall final : LoopCall, AwaitTarget {
  Runtime* runtime = nullptr;
  std::uint64_t task_id = 0;  // its blocking-pool job's, once it has one
  std::shared_ptr<const types::PyThriftService> service;
  std::size_t method_index = 0;  // into service->methods
  std::shared_ptr<const HandlerMap> handlers;
  types::StructMap struct_map;
  types::ProtocolType protocol = types::ProtocolType::Binary;
  std::string name;
  std::string message;  // the whole request, header included
  std::int32_t seqid = 0;
  // The loop the coroutine goes to: the one of the runtime thread that
  // received the request. Null with `loop_error` set when that thread has
  // none.
  std::shared_ptr<const TaskLocals> locals;
  std::string loop_error;
  std::shared_ptr<CoroutineReplyWait> wait;  // cleared once completed

  CoroutineCall() = default;
  CoroutineCall(const CoroutineCall&) = delete;
  CoroutineCall& operator=(const CoroutineCall&) = delete;
  // Dropped unanswered (its drain job never ran, say): answered as a job
  // that was cancelled. Harmless once the runtime has shut down, when
  // nobody is resumed any more.
  ~CoroutineCall() override;

  // The reply bytes to the connection task.
  void complete(std::string reply);
  // The error that ends the connection without a reply.
  void end_connection(protocol::IoError error);
  // Its result encoded by the method's return type (an encoding error as
  // type 6). Under the interpreter lock.
  void deliver_result(PyObject* result) override;
  // A type 6 Exception with `text`. Needs no interpreter lock.
  void deliver_error(std::string_view text) override;
  // The call never ran: its join error as type 6.
  void refuse(std::string join_error) noexcept;

  void run_on_loop(const TaskLocals& locals) noexcept override;
  void run_elsewhere() noexcept override;

 private:
  // run_on_loop's work.
  void run_here(const TaskLocals& locals);
};

// Sends `call` on its way: to its loop, or to a blocking-pool job. On the
// connection's runtime thread, no lock held; the reply comes through
// `call->wait`, except when the runtime shuts down first.
void submit_coroutine_call(std::unique_ptr<CoroutineCall> call);

}  // namespace brovane::python::server
