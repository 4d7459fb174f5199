// A plain (non-coroutine) handler's call, made by a connection task. The
// interpreter lock is held for the whole call (argument conversion, the call,
// the reply's encoding), on a runtime worker thread. Calls of a runtime's
// connections that arrive while another worker is running Python are
// combined on that worker (combining_queue.hpp): it runs them under the one
// lock it holds and resumes each connection with its reply, instead of every
// worker sleeping on the lock in turn.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <asio/awaitable.hpp>

#include "python/serde/native.hpp"
#include "python/server/context.hpp"
#include "python/types/service.hpp"

namespace brovane::python::server {

// One call: the request's parts, all owned by the connection task, which
// waits for the call to run and outlives it.
struct PlainCall {
  const ConnectionContext& ctx;
  const types::PyThriftMethod& method;
  const std::string& name;
  std::int32_t seqid;
  serde::NativeStructValue& values;  // taken apart by the call
  // Once run: the reply (a Reply, or an Exception of type 6), or nothing
  // when the interpreter can no longer be entered and the connection is to
  // end quietly.
  std::optional<std::string> reply;
};

// Runs `call` on this thread and returns true, when no other worker is
// running calls (this thread then runs the calls queued meanwhile as well,
// for a bounded time) or as the one standby that waits for the lock. False
// when the call is to be queued with queue_plain_call; nothing has happened
// then.
bool run_plain_call_here(PlainCall& call);

// Hands `call` to the worker that runs calls and resumes when it has run, on
// any worker thread. A runtime shutting down destroys the waiting connection
// task instead.
asio::awaitable<void> queue_plain_call(PlainCall& call);

}  // namespace brovane::python::server
