// What `serve` hands its serve thread, and the thread itself: the accept
// loop with its three wake-up sources (the server's stop notification,
// SIGINT and a new connection), then the shutdown of the runtime.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "python/server/context.hpp"
#include "python/server/runtime.hpp"
#include "python/types/descriptors.hpp"
#include "python/types/service.hpp"

namespace brovane::python::server {

// The stop notification of one server. Each stop() counts; an accept loop
// compares the count with the one its serve() saw, so a stop reaches every
// loop started before it, even one that was binding or spawning a task at
// that moment, and never a loop started after it.
class ShutdownNotify {
 public:
  std::uint64_t stops() const noexcept { return stops_.load(std::memory_order_seq_cst); }
  // Counts a stop and wakes the loops waiting now.
  void notify() noexcept;

  // A loop's wake-up eventfd, registered while the loop runs.
  void add_waiter(int fd);
  void remove_waiter(int fd) noexcept;

  // The server's accept loops that hold a listener or are still to bind
  // one, counted from serve() until the loop has closed its listener: a
  // serve() right after stop() waits for the earlier loop to let the
  // address go, so that it can bind it again.
  void loop_started() noexcept;
  void listener_closed() noexcept;
  // Waits for every counted loop's listener to be closed, at most `limit`.
  // Without the interpreter lock.
  void wait_listeners_closed(std::chrono::milliseconds limit) noexcept;

 private:
  std::atomic<std::uint64_t> stops_{0};
  std::mutex mutex_;
  std::vector<int> waiters_;
  std::condition_variable listeners_cv_;
  int listeners_ = 0;  // under mutex_
};

// One serve's state, shared by its serve thread and the server object (while
// that serve is the object's latest). A serve that is starting counts as one
// in progress, so a second serve is refused until the first has ended, and
// the state of an earlier serve, ending late, never overwrites a later one's.
enum class ServeState : std::uint8_t { Starting, Running, Ended };
using ServeStateRef = std::shared_ptr<std::atomic<ServeState>>;

struct AcceptCtx {
  std::string addr;  // "{host}:{port}", as given
  std::shared_ptr<const types::PyThriftService> service;
  std::shared_ptr<const HandlerMap> handlers;
  types::StructMap struct_map;
  ServeStateRef running;
  std::shared_ptr<ShutdownNotify> shutdown;
  std::uint64_t stops_seen = 0;  // shutdown->stops() when serve ran
  std::uint8_t transport = 0;
  std::uint8_t protocol = 0;
  // Packed on few workers when any handler is a coroutine function.
  Runtime::Spread spread = Runtime::Spread::AllWorkers;
};

// Starts the detached serve thread, which runs the accept loop and then shuts
// the runtime down. On success both arguments have been moved into it; false
// when the thread could not be started (both are left to the caller).
[[nodiscard]] bool start_serve_thread(std::unique_ptr<Runtime>& runtime, AcceptCtx& ctx);

}  // namespace brovane::python::server
