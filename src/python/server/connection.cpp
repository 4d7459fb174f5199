// One accepted connection, from its first request to its end. Requests are
// handled strictly in turn: the next message is read only once the previous
// one has been answered (or, for Oneway, dropped). Everything about a request
// up to the handler call runs without the interpreter lock; a plain handler
// takes it once for the call and the reply's encoding, a coroutine function
// takes it on this thread only for its loop's first call.
#include <cstddef>
#include <memory>
#include <string>
#include <utility>

#include <asio/ip/tcp.hpp>

#include "protocol/types.hpp"
#include "python/serde/codec.hpp"
#include "python/serde/read_native.hpp"
#include "python/server/asyncio_loop.hpp"
#include "python/server/context.hpp"
#include "python/server/coroutine_call.hpp"
#include "python/server/handler.hpp"
#include "python/server/plain_call.hpp"
#include "python/server/runtime.hpp"
#include "python/server/transport.hpp"

namespace brovane::python::server {

namespace {

using protocol::IoError;
using protocol::IoErrorKind;
using protocol::MessageType;
using types::ProtocolType;
using types::PyThriftMethod;
using Socket = asio::ip::tcp::socket;

// What a received message leads to once its synchronous part is done.
struct Dispatched {
  enum class Kind : std::uint8_t {
    Reply,      // `reply` is ready
    Coroutine,  // a coroutine function is to be called, its arguments decoded there
    Plain,      // a plain function is to be called with `values`, by the worker running Python
    End,        // the connection ends with `error`
  };
  Kind kind = Kind::End;
  bool oneway = false;
  std::string reply;
  IoError error;
  std::size_t method_index = 0;
  std::string name;
  std::int32_t seqid = 0;
  serde::NativeStructValue values;
};

[[gnu::cold]] std::string unknown_method(ProtocolType protocol, const std::string& name, std::int32_t seqid) {
  return build_exception_reply(protocol, name, seqid, kUnknownMethod, "Unknown method: " + name);
}

[[gnu::cold]] std::string no_handler(ProtocolType protocol, const std::string& name, std::int32_t seqid) {
  return build_exception_reply(protocol, name, seqid, kUnknownMethod, "No handler registered for: " + name);
}

// A plain call's outcome as the connection's next step. Without a reply the
// interpreter is going away: end quietly rather than enter a closing one.
void finish_plain_call(Dispatched& d, PlainCall& call) {
  if (call.reply) {
    d.kind = Dispatched::Kind::Reply;
    d.reply = std::move(*call.reply);
  } else {
    d.kind = Dispatched::Kind::End;
    d.error = IoError::from_kind(IoErrorKind::BrokenPipe);
  }
}

// Header, method, arguments and handler; a plain handler is called right
// here, on this runtime thread, holding the interpreter lock, unless another
// worker is running Python. A coroutine function's arguments are decoded
// where it is called (coroutine_call.hpp), with the same outcome: a message
// whose arguments cannot be decoded ends the connection either way, and the
// function is called only with arguments.
template <protocol::InputProtocol R>
Dispatched dispatch(R& r, const ConnectionContext& ctx) {
  const auto protocol = static_cast<ProtocolType>(ctx.protocol);
  Dispatched d;
  auto header = r.read_message_begin();
  if (!header) [[unlikely]] {
    d.error = protocol::to_io_error(std::move(header).error());
    return d;
  }
  // The message type decides whether anyone waits for an answer, not the
  // method's declaration.
  d.oneway = header->message_type == MessageType::Oneway;
  d.seqid = header->seqid;
  d.name = std::move(header->name);

  const PyThriftMethod* method = ctx.service->find_method(d.name);
  if (method == nullptr) [[unlikely]] {
    d.kind = Dispatched::Kind::Reply;
    d.reply = unknown_method(protocol, d.name, d.seqid);
    return d;
  }
  d.method_index = static_cast<std::size_t>(method - ctx.service->methods.data());
  const auto handler = ctx.handlers->find(d.name);
  if (handler != ctx.handlers->end() && handler->second.is_async) {
    d.kind = Dispatched::Kind::Coroutine;
    return d;
  }
  // The reader stands where the argument fields begin (a Compact reader with
  // its initial last field id, a JSON reader inside the body object). Bytes
  // after the arguments' stop are not looked at.
  auto values = serde::deserialize_native_struct(r, method->arguments, method->argument_index,
                                                 method->argument_names, *ctx.struct_map);
  if (!values) [[unlikely]] {
    d.error = std::move(values).error();
    return d;
  }

  if (handler == ctx.handlers->end()) [[unlikely]] {
    d.kind = Dispatched::Kind::Reply;
    d.reply = no_handler(protocol, d.name, d.seqid);
    return d;
  }
  d.values = std::move(*values);

  // A plain function: called right here unless another worker is running
  // Python, which then runs it for this connection (handle_connection).
  d.kind = Dispatched::Kind::Plain;
  PlainCall call{ctx, *method, d.name, d.seqid, d.values, {}};
  if (run_plain_call_here(call)) finish_plain_call(d, call);
  return d;
}

// A coroutine function: called on the asyncio loop of this runtime thread,
// or on a blocking-pool thread when its call may block, and its coroutine
// awaited on that loop. Whichever thread finishes the request resumes this
// one with the reply, or with the decoding error of its arguments.
asio::awaitable<CoroutineOutcome> call_coroutine_function(const ConnectionContext& ctx, Dispatched& d,
                                                          std::string message) {
  auto call = std::make_unique<CoroutineCall>();
  call->runtime = ctx.runtime;
  call->service = ctx.service;
  call->method_index = d.method_index;
  call->handlers = ctx.handlers;
  call->struct_map = ctx.struct_map;
  call->protocol = static_cast<ProtocolType>(ctx.protocol);
  call->name = std::move(d.name);
  call->message = std::move(message);
  call->seqid = d.seqid;
  // The loop is looked up before the call, so that it is this thread's; a
  // failure is reported only after the handler has been called, as it would
  // be if the lookup came after.
  if (auto ready = ensure_current_worker_python_asyncio(); !ready) {
    call->loop_error = std::move(ready).error();
  } else if (!(call->locals = current_task_locals())) {
    call->loop_error = kLoopNotBound;
  }
  std::shared_ptr<CoroutineReplyWait> wait = ctx.runtime->make_foreign_wait<CoroutineOutcome>();
  call->wait = wait;
  submit_coroutine_call(std::move(call));
  co_return co_await wait->wait();
}

}  // namespace

asio::awaitable<std::expected<void, IoError>> handle_connection(Socket socket, ConnectionContext ctx) {
  std::error_code ignored;
  socket.set_option(asio::ip::tcp::no_delay(true), ignored);
  // Replies are written in place and waited on only when the send buffer is
  // full (buffered_io.hpp); on a blocking socket every write would go
  // through the io_context.
  socket.non_blocking(true, ignored);
  BufferedReader<Socket> reader(socket);
  // Declared after the reader: destroyed first, it shuts the sending
  // direction down before the socket closes.
  BufferedWriter<Socket> writer(socket);
  const auto protocol = static_cast<ProtocolType>(ctx.protocol);

  for (;;) {
    client::IoResult<std::string> frame = co_await recv_request_frame_async(reader, ctx.transport, ctx.protocol);
    if (!frame) co_return std::unexpected(std::move(frame).error());
    if (frame->empty()) co_return std::expected<void, IoError>{};

    // A fresh reader per message: a failed request leaves nothing behind for
    // the next one.
    Dispatched d = serde::with_reader(protocol, *frame, {0}, [&](auto& r) { return dispatch(r, ctx); });
    std::string reply;
    switch (d.kind) {
      case Dispatched::Kind::End: co_return std::unexpected(std::move(d.error));
      case Dispatched::Kind::Reply: reply = std::move(d.reply); break;
      case Dispatched::Kind::Coroutine: {
        CoroutineOutcome outcome = co_await call_coroutine_function(ctx, d, std::move(*frame));
        if (!outcome) co_return std::unexpected(std::move(outcome).error());
        reply = std::move(*outcome);
        break;
      }
      case Dispatched::Kind::Plain: {
        PlainCall call{ctx, ctx.service->methods[d.method_index], d.name, d.seqid, d.values, {}};
        co_await queue_plain_call(call);
        finish_plain_call(d, call);
        if (d.kind == Dispatched::Kind::End) co_return std::unexpected(std::move(d.error));
        reply = std::move(d.reply);
        break;
      }
    }
    if (d.oneway) continue;
    client::IoStatus sent = co_await send_response_async(writer, reply, ctx.transport);
    if (!sent) co_return std::unexpected(std::move(sent).error());
  }
}

}  // namespace brovane::python::server
