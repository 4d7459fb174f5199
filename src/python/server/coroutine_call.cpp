#include "python/server/coroutine_call.hpp"

#include <new>
#include <utility>
#include <variant>
#include <vector>

#include "python/core/ref.hpp"
#include "python/serde/codec.hpp"
#include "python/serde/read_native.hpp"
#include "python/server/handler.hpp"

namespace brovane::python::server {

namespace {

using core::Ref;

// The call's arguments, read from its message with a fresh reader (the
// header again, then the argument fields; bytes after their stop are not
// looked at).
serde::IoResult<serde::NativeStructValue> decode_arguments(const CoroutineCall& call,
                                                              const types::PyThriftMethod& method) {
  return serde::with_reader(call.protocol, call.message, {0},
                            [&](auto& r) -> serde::IoResult<serde::NativeStructValue> {
                              auto header = r.read_message_begin();
                              if (!header) [[unlikely]]
                                return std::unexpected(protocol::to_io_error(std::move(header).error()));
                              return serde::deserialize_native_struct(r, method.arguments, method.argument_index,
                                                                      method.argument_names, *call.struct_map);
                            });
}

// The arguments decoded and the function called under the interpreter lock,
// and what its call gives: the coroutine (null, the call answered already),
// or the reply made at once (a matched declared exception, a failure), or
// the decoding error that ends the connection, which calls nothing.
Ref call_function(CoroutineCall& call) {
  const types::PyThriftMethod& method = call.service->methods[call.method_index];
  serde::IoResult<serde::NativeStructValue> values = decode_arguments(call, method);
  if (!values) [[unlikely]] {
    call.end_connection(std::move(values).error());
    return Ref();
  }
  const CallContext ctx{call.struct_map, *call.handlers, call.protocol};
  core::Result<CallOutcome> outcome = invoke_python_handler(method, ctx, call.name, std::move(*values), call.seqid);
  if (!outcome) {
    call.deliver_error(python_error_display_text(outcome.error()));
    return Ref();
  }
  if (auto* reply = std::get_if<CallOutcome::Reply>(&outcome->v)) {
    call.complete(std::move(reply->bytes));
    return Ref();
  }
  return std::move(std::get<CallOutcome::Awaitable>(outcome->v).object);
}

// On a blocking-pool thread, under the interpreter lock: the call, then its
// coroutine handed to its loop, which `wakes` may then need rung.
void start_call(std::unique_ptr<CoroutineCall> call, std::vector<LoopWake>& wakes) {
  const Ref awaitable = call_function(*call);
  if (!awaitable) return;
  if (!call->locals) return call->deliver_error(call->loop_error);
  // Kept here: once handed over, the call may be done and gone before
  // schedule_awaitable returns (it runs Python code, which lets the loop in).
  const std::shared_ptr<const TaskLocals> locals = call->locals;
  std::unique_ptr<AwaitTarget> target = std::move(call);
  core::Result<LoopWake> scheduled = schedule_awaitable(awaitable.get(), *locals, target);
  if (!scheduled) {
    // An empty target was answered by the loop meanwhile.
    if (target) target->deliver_error(python_error_display_text(scheduled.error()));
    return;
  }
  if (scheduled->target) {
    try {
      wakes.push_back(std::move(*scheduled));
    } catch (const std::bad_alloc&) {
      scheduled->ring();  // now rather than never: no other hand-over rings this loop
    }
  }
}

void ring(std::vector<LoopWake>& wakes) noexcept {
  for (const LoopWake& w : wakes) w.ring();
  wakes.clear();
}

// Whether calling the call's handler runs none of its code: a function
// defined with `async def` (or a method of one) only makes its coroutine
// object when called. Anything else (a callable object, a wrapper that
// returns a coroutine) runs code that may block. Under the interpreter lock.
bool calls_without_running_code(const CoroutineCall& call) noexcept {
  const auto it = call.handlers->find(call.name);
  if (it == call.handlers->end()) return true;  // answered without a call
  PyObject* f = it->second.handler;
  if (PyMethod_Check(f)) f = PyMethod_GET_FUNCTION(f);
  if (!PyFunction_Check(f)) return false;
  const auto* code = reinterpret_cast<const PyCodeObject*>(PyFunction_GET_CODE(f));
  return (code->co_flags & CO_COROUTINE) != 0;
}

// A call alone on a blocking-pool thread: the lock taken for it, and its
// loop rung once the lock is let go.
void run_alone(std::unique_ptr<CoroutineCall> call) {
  std::vector<LoopWake> wakes;
  {
    RuntimeThreadGil gil;
    if (!gil) [[unlikely]]
      return call->deliver_error("RuntimeError: the interpreter is shutting down");
    try {
      start_call(std::move(call), wakes);
    } catch (const std::bad_alloc&) {
      PyErr_Clear();  // the call, dropped unanswered, answers for itself
    }
  }
  ring(wakes);
}

// The call as a blocking-pool job of its own, so that calls that block wait
// side by side (the pool grows for them) and none holds up another. Refused,
// the call is dropped and answers for itself with its join error.
void start_in_own_job(std::unique_ptr<CoroutineCall> call) noexcept {
  Runtime& runtime = *call->runtime;
  call->task_id = runtime.next_task_id();
  try {
    runtime.try_spawn_blocking([c = std::move(call)]() mutable { run_alone(std::move(c)); });
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace

CoroutineCall::~CoroutineCall() {
  if (wait) refuse(Runtime::cancelled_task_text(task_id));
}

void CoroutineCall::complete(std::string reply) {
  if (std::shared_ptr<CoroutineReplyWait> w = std::move(wait)) w->complete(CoroutineOutcome(std::move(reply)));
}

void CoroutineCall::end_connection(protocol::IoError error) {
  if (std::shared_ptr<CoroutineReplyWait> w = std::move(wait)) w->complete(std::unexpected(std::move(error)));
}

void CoroutineCall::deliver_result(PyObject* result) {
  core::Result<std::string> bytes =
      build_reply_body(service->methods[method_index].return_type, result, struct_map, protocol, name, seqid);
  if (!bytes) return deliver_error(python_error_display_text(bytes.error()));
  complete(std::move(*bytes));
}

void CoroutineCall::deliver_error(std::string_view text) {
  complete(build_exception_reply(protocol, name, seqid, kInternalError, text));
}

void CoroutineCall::refuse(std::string join_error) noexcept {
  try {
    deliver_error(join_error);
  } catch (...) {
    // Nothing to say it with: the connection task waits until the runtime
    // shuts down.
  }
}

void CoroutineCall::run_on_loop(const TaskLocals& locals) noexcept {
  // Inside a park: a finalizing interpreter may end this thread in there.
  core::park_if_ended([&] { run_here(locals); });
}

void CoroutineCall::run_here(const TaskLocals& locals) {
  std::unique_ptr<CoroutineCall> self(this);
  if (!calls_without_running_code(*self)) return start_in_own_job(std::move(self));
  try {
    const Ref awaitable = call_function(*self);
    if (awaitable) start_awaitable_here(awaitable.get(), locals, std::move(self));
  } catch (const std::bad_alloc&) {
    PyErr_Clear();  // the call, dropped unanswered, answers for itself
  }
}

void CoroutineCall::run_elsewhere() noexcept { start_in_own_job(std::unique_ptr<CoroutineCall>(this)); }

void submit_coroutine_call(std::unique_ptr<CoroutineCall> call) {
  if (const std::shared_ptr<const TaskLocals> locals = call->locals) {
    std::unique_ptr<LoopCall> queued = std::move(call);
    if (push_loop_call(locals, queued)) return;
    call.reset(static_cast<CoroutineCall*>(queued.release()));
  }
  start_in_own_job(std::move(call));
}

}  // namespace brovane::python::server
