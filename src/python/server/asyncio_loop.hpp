// One Python asyncio event loop per runtime thread, each run by a dedicated
// thread ("brovane-pyo3-python-loop"), so that a coroutine handler's
// coroutine runs on the loop of the runtime thread that scheduled it.
#pragma once

#include <memory>
#include <expected>
#include <string>

#include "python/core/gil.hpp"

namespace brovane::python::server {

// A runtime thread's loop and the context copied on the loop thread when the
// loop was made: what a coroutine is scheduled with. Shared by reference
// count (the thread's slot, the loop thread, each awaited coroutine); the
// references may be dropped on any thread, with or without the interpreter
// lock.
struct LoopIntake;  // coroutine_bridge.hpp

struct TaskLocals {
  core::DeferredRef event_loop;
  core::DeferredRef context;
  // Calls for the loop to make, queued without the interpreter lock
  // (coroutine_bridge.hpp).
  std::shared_ptr<LoopIntake> intake;
  // The coroutine bridge's inbox for this loop, made on first use; read and
  // set only under the interpreter lock.
  mutable core::DeferredRef inbox;
};

inline constexpr char kLoopNotBound[] = "python asyncio loop is not bound to the current tokio worker thread";

// Makes sure the current thread's slot holds a running loop, starting its
// loop thread when the slot is empty; the error text otherwise. Blocks until
// the loop thread has reported: call it WITHOUT the interpreter lock.
std::expected<void, std::string> ensure_current_worker_python_asyncio();

// The current thread's loop, or nullptr when its slot is empty. Any lock
// state.
std::shared_ptr<const TaskLocals> current_task_locals() noexcept;

// The runtime's thread hooks. Start: ensure_current_worker_python_asyncio,
// its error written as "python asyncio worker init error: {}". Stop: stops
// and joins the current thread's loop thread (its failure written as
// "python asyncio worker shutdown error: {}"). Both without the interpreter
// lock.
void asyncio_thread_start_hook();
void asyncio_thread_stop_hook();

// Stops and joins the loops whose stop failed in a stop hook. Such a failure
// is mostly memory running out while a runtime's threads are torn down, so a
// runtime calls this once all its threads have ended and their stacks are
// free; a loop that cannot be stopped even then is left running, detached.
// Without the interpreter lock.
void retry_failed_asyncio_stops();

}  // namespace brovane::python::server
