#include "python/server/plain_call.hpp"

#include <chrono>
#include <new>
#include <utility>
#include <variant>

#include <asio/async_result.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include "python/server/combining_queue.hpp"
#include "python/server/handler.hpp"
#include "python/server/runtime.hpp"

namespace brovane::python::server {

namespace {

using Clock = CombiningQueue::Clock;
using Task = CombiningQueue::Task;

// How long a runner goes on taking queued calls before it hands the role to
// a runner posted to its worker, so that the connections of that worker
// waiting meanwhile get their turn. Long against one call, short against the
// interpreter's switch interval, which shares the lock with other Python
// threads meanwhile.
constexpr auto kRunnerBudget = std::chrono::microseconds(200);

// The call under the interpreter lock (`locked`), or its quiet end when the
// interpreter could not be entered. Throws nothing, so the runner's role
// survives whatever one call does; not noexcept only so that a thread that
// the finalizing interpreter ends in here unwinds to the runner's park.
void run_call(PlainCall& call, bool locked) {
  if (!locked) [[unlikely]] {
    call.reply.reset();
    return;
  }
  try {
    const auto protocol = static_cast<types::ProtocolType>(call.ctx.protocol);
    const CallContext context{call.ctx.struct_map, *call.ctx.handlers, protocol};
    core::Result<CallOutcome> outcome =
        invoke_python_handler(call.method, context, call.name, std::move(call.values), call.seqid);
    if (outcome) [[likely]] {
      // A plain function's outcome is always a finished reply.
      if (auto* reply = std::get_if<CallOutcome::Reply>(&outcome->v)) {
        call.reply.emplace(std::move(reply->bytes));
        return;
      }
    }
    std::string text = outcome ? std::string("RuntimeError: plain handler returned an awaitable")
                               : python_error_display_text(outcome.error());
    outcome = core::Result<CallOutcome>();  // its references go while the lock is held
    call.reply.emplace(build_exception_reply(protocol, call.name, call.seqid, kInternalError, text));
  } catch (const std::bad_alloc&) {
    call.reply.reset();  // out of memory: this connection ends, the others go on
  }
}

// Runs queued calls, oldest first, until none is left (false) or the budget
// is spent (true).
bool run_queued(CombiningQueue& queue, bool locked, Clock::time_point deadline) {
  Task task;
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return true;
    if (!queue.pop(task, now)) return false;
    task(locked);
    task = nullptr;
  }
}

// One runner's turn: `own` alone when there is one, else the queue, until it
// is empty or the budget is spent. A standby first waits for the lock. The
// lock is given up before the runner leaves, so that a thread that becomes a
// runner right after does not sleep on it. The calls queued behind `own` are
// handed over to a runner posted to this worker, so that `own`'s connection
// (whose task is running this) sends its reply first: any of those calls may
// wait inside the handler, holding this thread up.
void run_as_runner(Runtime& rt, PlainCall* own, bool standby) {
  CombiningQueue& queue = rt.interpreter_queue();
  constexpr Clock::time_point kUnset = Clock::time_point::max();
  Clock::time_point deadline = kUnset;  // set once the lock is held
  for (;;) {
    bool over_budget = false;
    // Inside a park: a finalizing interpreter may end this thread in there.
    core::park_if_ended([&] {
      RuntimeThreadGil gil;
      if (standby) {
        queue.standby_done();
        standby = false;
      }
      if (deadline == kUnset) deadline = Clock::now() + kRunnerBudget;
      const bool locked = static_cast<bool>(gil);
      if (own != nullptr) {
        run_call(*own, locked);
        own = nullptr;
        over_budget = true;
      } else {
        over_budget = run_queued(queue, locked, deadline);
      }
    });
    switch (queue.leave(over_budget)) {
      case CombiningQueue::Leave::Left: return;
      case CombiningQueue::Leave::Continue: continue;
      case CombiningQueue::Leave::HandOver:
        try {
          // Dropped unrun at shutdown, it leaves the queue to the runtime,
          // which destroys what is queued. Posted, not deferred: should
          // this thread be held up meanwhile, an idle worker runs it.
          asio::io_context* here = Runtime::current_io();
          asio::post(here ? *here : rt.io(), [&rt] { run_as_runner(rt, nullptr, false); });
          return;
        } catch (const std::bad_alloc&) {
          deadline = kUnset;  // nobody to hand over to: go on here
          continue;
        }
    }
  }
}

// The watch timer's standby, on the timer's runtime thread.
void start_standby(void* runtime) { run_as_runner(*static_cast<Runtime*>(runtime), nullptr, true); }

}  // namespace

bool run_plain_call_here(PlainCall& call) {
  Runtime& rt = *call.ctx.runtime;
  const CombiningQueue::Role role = rt.interpreter_queue().enter();
  if (role == CombiningQueue::Role::Busy) return false;
  run_as_runner(rt, &call, role == CombiningQueue::Role::Standby);
  return true;
}

asio::awaitable<void> queue_plain_call(PlainCall& call) {
  return asio::async_initiate<const asio::use_awaitable_t<>&, void()>(
      [&call](auto handler) {
        Runtime& rt = *call.ctx.runtime;
        Task task = [&call, h = std::move(handler)](bool locked) mutable {
          run_call(call, locked);
          try {
            // On the connection's own worker. Posted, not deferred: should
            // the runner be held up by a later call on that same worker, an
            // idle worker resumes the connection.
            asio::post(std::move(h));
          } catch (const std::bad_alloc&) {
            // The resumption is lost: the connection task goes with its
            // handler, as at shutdown.
          }
        };
        // The watch runs on this connection's own worker, which is free now.
        asio::io_context* here = Runtime::current_io();
        switch (rt.interpreter_queue().push(task, here ? *here : rt.io(), &start_standby, &rt)) {
          case CombiningQueue::Push::Queued: return;
          case CombiningQueue::Push::Run: run_as_runner(rt, nullptr, false); return;
          case CombiningQueue::Push::Standby: run_as_runner(rt, nullptr, true); return;
          case CombiningQueue::Push::Closed: return;  // the task, and the connection task with it, go here
        }
      },
      asio::use_awaitable);
}

}  // namespace brovane::python::server
