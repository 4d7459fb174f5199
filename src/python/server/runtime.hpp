// The server's multi-threaded runtime: a fixed set of worker threads, each
// running an io_context of its own, plus a blocking pool that grows on
// demand for work that must not stall the workers (name resolution,
// coroutine-function calls that may block). A connection is given to one
// worker for its whole life, so that its reads, its handler calls and its
// coroutines' resumptions stay on one thread (and its asyncio loop), and a
// worker that has nothing to do sleeps until its own work wakes it (while
// a peer is busy, one idle worker keeps watch over it instead: see drive()
// in runtime.cpp). Every
// thread the runtime starts, worker or blocking, is named "tokio-rt-worker"
// and runs the start hook before it takes any work and the stop hook as it
// ends.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include "protocol/types.hpp"
#include "python/server/combining_queue.hpp"
#include "python/server/native_thread.hpp"

namespace brovane::python::server {

// Run on every runtime thread: `on_start` before the thread takes any work,
// `on_stop` as it ends. `on_all_ended` runs once at shutdown, on the shutting
// down thread, after every runtime thread has ended. Any may be null.
struct ThreadHooks {
  void (*on_start)() = nullptr;
  void (*on_stop)() = nullptr;
  void (*on_all_ended)() = nullptr;
};

// A connection's claim on the worker that serves it, counted for as long as
// it lives.
class WorkerLease {
 public:
  WorkerLease() = default;
  explicit WorkerLease(std::atomic<std::size_t>& count) noexcept : count_(&count) {
    count.fetch_add(1, std::memory_order_relaxed);
  }
  WorkerLease(WorkerLease&& o) noexcept : count_(std::exchange(o.count_, nullptr)) {}
  WorkerLease& operator=(WorkerLease&& o) noexcept {
    std::swap(count_, o.count_);
    return *this;
  }
  ~WorkerLease() {
    if (count_) count_->fetch_sub(1, std::memory_order_relaxed);
  }

 private:
  std::atomic<std::size_t>* count_ = nullptr;
};

class Runtime {
 public:
  static constexpr std::size_t kMaxBlockingThreads = 512;
  static constexpr std::chrono::seconds kBlockingKeepAlive{10};

  using BlockingJob = std::move_only_function<void()>;

  // `workers` threads running io(), with the per-thread asyncio loop hooks.
  // When any thread cannot be started, every thread already started is
  // stopped and joined and the system's error is returned. Does not wait for
  // the start hooks: call it without the interpreter lock, since the hooks
  // (and a failed build's joins) need it.
  static std::expected<std::unique_ptr<Runtime>, protocol::IoError> build(std::size_t workers);
  // The blocking pool's bounds; other values than the defaults are for tests.
  struct PoolLimits {
    std::size_t max_threads = kMaxBlockingThreads;
    std::chrono::milliseconds keep_alive = kBlockingKeepAlive;
  };
  static std::expected<std::unique_ptr<Runtime>, protocol::IoError> build(std::size_t workers,
                                                                          ThreadHooks hooks);
  static std::expected<std::unique_ptr<Runtime>, protocol::IoError> build(std::size_t workers,
                                                                          ThreadHooks hooks,
                                                                          PoolLimits limits);

  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;
  ~Runtime();  // shutdown()

  // The first worker's io_context (the only one of a runtime without
  // workers).
  asio::io_context& io() noexcept { return ios_.front()->io; }
  // The io_context of the runtime worker running on this thread; null on
  // any other thread.
  static asio::io_context* current_io() noexcept;

  // How new connections are shared out among the workers.
  enum class Spread : std::uint8_t {
    // Over every worker. Plain handlers combine their interpreter work on
    // whichever worker holds the lock, so their connections gain from every
    // worker's reads, writes and decoding.
    AllWorkers,
    // Over few workers, two connections to each before the next worker is
    // used, and at most kCoroutineWorkers of them. A coroutine handler runs
    // on its worker's loop thread, and every loop in use is one more thread
    // taking the interpreter lock in turn: spread over many loops, each one
    // wakes for about one request and hands the lock on, while two loops
    // already keep it busy, each running several requests a turn. Workers
    // left without connections still run the ready work of a held-up peer.
    FewLoops,
  };
  static constexpr std::size_t kCoroutineWorkers = 2;

  // The worker that takes a new connection for its whole life: among the
  // workers `spread` allows, the one with the fewest connections, ties taken
  // in turn.
  struct Placement {
    asio::io_context& io;
    WorkerLease lease;
  };
  Placement place_connection(Spread spread = Spread::AllWorkers) noexcept;
  std::size_t workers() const noexcept { return workers_.size(); }

  // Interpreter work of the connection tasks, combined on the worker that
  // holds the lock (plain_call.hpp). What is still queued at shutdown is
  // destroyed with its connection tasks.
  CombiningQueue& interpreter_queue() noexcept { return interpreter_queue_; }

  // Runs `job` on a blocking-pool thread (started on demand, at most
  // kMaxBlockingThreads; an idle one ends after kBlockingKeepAlive) and
  // resumes the awaiting coroutine on its own io_context with its result. When the runtime
  // shuts down before the job has started, the job and the awaiting
  // coroutine are dropped; a job already running finishes first. `job` must
  // not throw; its result must be nothrow-movable.
  template <class F>
  asio::awaitable<std::invoke_result_t<F>> spawn_blocking(F job);

  // Hands `job` to the blocking pool as spawn_blocking does, with nobody
  // awaiting it. False when it could not be (the runtime is shutting down,
  // or no pool thread could be started and none is alive to take it later);
  // `job` is then dropped unrun.
  bool try_spawn_blocking(BlockingJob job);

  // Ids for blocking-pool work, from 1 in the order asked for: a failed job
  // is reported by its id.
  std::uint64_t next_task_id() noexcept { return task_ids_.fetch_add(1, std::memory_order_relaxed) + 1; }
  // The report of a job that never ran: "task {} was cancelled".
  static std::string cancelled_task_text(std::uint64_t task_id);

  // Ends every task at its next suspension point and joins every runtime
  // thread (each running its stop hook): workers stop, queued blocking jobs
  // are dropped, running ones finish, then every handler still queued or
  // parked in a ForeignWait is destroyed. Idempotent; call it without the
  // interpreter lock and not from a runtime thread.
  void shutdown();

  // A one-shot completion fulfilled from a thread outside the runtime (an
  // asyncio loop thread, say), which resumes the awaiting coroutine on its
  // own io_context. The awaiting coroutine's handler stays owned by the
  // runtime, so shutdown can drop it before the io_contexts go away, and a
  // completion that arrives after that finds nothing to resume and is
  // discarded. Share it with the completing side through the shared_ptr.
  template <class T>
  class ForeignWait;
  template <class T>
  std::shared_ptr<ForeignWait<T>> make_foreign_wait();

 private:
  // The part of a ForeignWait that the runtime can reach at shutdown.
  struct ForeignWaitBase {
    virtual void drop_handler() noexcept = 0;  // destroy a parked handler, if any
    virtual ~ForeignWaitBase() = default;
  };

  Runtime(ThreadHooks hooks, PoolLimits limits);
  void run_blocking_thread();
  void register_wait(const std::shared_ptr<ForeignWaitBase>& w);

  void join_exited_pool_threads(std::unique_lock<std::mutex>& lock);
  // Starts one more pool thread; false when it cannot be started. Under
  // pool_mutex_.
  bool start_pool_thread_locked() noexcept;

  // A worker's reactor when it has peers: tells the runtime when its thread
  // begins and ends a wait (runtime.cpp).
  class WaitReporter;

  // What a worker's thread is doing, as its peers see it.
  enum class Activity : std::uint8_t {
    Running,   // not in a wait: in a handler, or looking for one
    Watching,  // in a wait of at most kHeldUp, looking at the running peers after it
    Parked,    // in a wait with no timeout
    Summoned,  // woken from its park by a peer, to watch; counted as watching
  };

  // One worker's io_context, kept running until shutdown by its guard. Its
  // own thread runs it; while that thread is held up inside one handler
  // (a Python call that waits, say), a watching peer runs its ready
  // handlers too, so that the worker's other connections go on.
  struct WorkerIo {
    std::atomic<std::size_t> connections{0};  // leases; outlives the connection tasks in `io`
    // Steady-clock ns when its thread last looked for work or left a wait.
    std::atomic<std::int64_t> heartbeat{0};
    std::atomic<Activity> activity{Activity::Running};
    asio::io_context io;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work{io.get_executor()};
    WaitReporter* reactor = nullptr;  // with peers
  };

  void run_worker(WorkerIo& own);
  void drive(WorkerIo& own);
  // The worker's thread begins a wait of `usec` (-1: none): it either parks
  // (`usec` becomes -1) or watches. Ends with the wait.
  void wait_begins(WorkerIo& w, long& usec) noexcept;
  // The wait has ended, with work to run (ready events, or a handler
  // posted) or not.
  void wait_ends(WorkerIo& w, bool work) noexcept;
  // `w` (watching) runs handlers from now on.
  void start_running(WorkerIo& w) noexcept;
  // Wakes a parked peer of `own` to watch, if any is parked; counts it as
  // watching from then on.
  void summon_watcher(const WorkerIo& own) noexcept;
  // Whether `w`'s thread has been inside one handler for a while.
  static bool held_up(const WorkerIo& w, std::int64_t now) noexcept;
  // Runs the ready handlers of held-up peers; whether it ran any.
  bool help_held_up_peers(WorkerIo& own, std::int64_t now);

  ThreadHooks hooks_;
  std::vector<std::unique_ptr<WorkerIo>> ios_;  // one per worker, at least one; destroyed at the end of shutdown()
  std::atomic<std::size_t> next_io_{0};  // where place_connection starts looking
  // Workers with peers by Activity: running ones in the low half, watching
  // ones in the high half; the rest are parked. One word, so that a worker
  // that parks and one that starts running see each other.
  std::atomic<std::uint64_t> census_{0};
  std::atomic<std::size_t> next_summon_{0};  // where summon_watcher starts looking
  std::vector<NativeThread> workers_;  // workers_[i] runs ios_[i]

  // The blocking pool. A thread that goes idle counts in pool_idle_; a
  // submitter that hands it a job takes it out of pool_idle_ and adds a
  // wake-up, so two quick submits never count on the same idle thread.
  std::mutex pool_mutex_;
  std::condition_variable pool_cv_;
  std::deque<BlockingJob> pool_queue_;
  PoolLimits pool_limits_;
  std::size_t pool_threads_ = 0;  // started and not yet ended
  std::size_t pool_leaving_ = 0;  // of those, idle for the whole keep-alive and on their way out
  std::size_t pool_idle_ = 0;     // waiting for a job and not yet handed one
  std::size_t pool_wakeups_ = 0;  // hand-overs not yet taken by a waiting thread
  bool pool_closed_ = false;
  std::condition_variable pool_done_cv_;  // a pool thread ended
  std::vector<NativeThread> pool_handles_;
  std::vector<pthread_t> pool_exited_;  // ended, not yet joined

  // The foreign waits, in shards so that the connection tasks of many
  // threads seldom meet on one mutex; each thread registers in its own.
  struct WaitShard {
    std::mutex mutex;
    std::vector<std::weak_ptr<ForeignWaitBase>> waits;
    bool closed = false;
  };
  static constexpr std::size_t kWaitShards = 16;
  std::array<WaitShard, kWaitShards> wait_shards_;

  CombiningQueue interpreter_queue_;

  std::atomic<std::uint64_t> task_ids_{0};

  bool shut_down_ = false;
};

template <class F>
asio::awaitable<std::invoke_result_t<F>> Runtime::spawn_blocking(F job) {
  using R = std::invoke_result_t<F>;
  if constexpr (std::is_void_v<R>) {
    co_await asio::async_initiate<const asio::use_awaitable_t<>&, void()>(
        [this](auto handler, F f) {
          try_spawn_blocking([h = std::move(handler), f = std::move(f)]() mutable {
            f();
            auto ex = asio::get_associated_executor(h);
            asio::post(ex, std::move(h));
          });
        },
        asio::use_awaitable, std::move(job));
  } else {
    co_return co_await asio::async_initiate<const asio::use_awaitable_t<>&, void(R)>(
        [this](auto handler, F f) {
          try_spawn_blocking([h = std::move(handler), f = std::move(f)]() mutable {
            R r = f();
            auto ex = asio::get_associated_executor(h);
            asio::post(ex, [h = std::move(h), r = std::move(r)]() mutable { std::move(h)(std::move(r)); });
          });
        },
        asio::use_awaitable, std::move(job));
  }
}

template <class T>
class Runtime::ForeignWait final : public Runtime::ForeignWaitBase {
 public:
  // Suspends until complete() is called. Await it at most once.
  asio::awaitable<T> wait() {
    co_return co_await asio::async_initiate<const asio::use_awaitable_t<>&, void(T)>(
        [this](auto handler) {
          std::unique_lock lock(mutex_);
          if (value_) {
            T v = std::move(*value_);
            value_.reset();
            lock.unlock();
            resume(std::move(handler), std::move(v));
          } else if (!dropped_) {
            handler_ = [h = std::move(handler)](T v) mutable { resume(std::move(h), std::move(v)); };
          }
          // dropped_: the runtime is shutting down; the handler (and with it
          // the coroutine) is destroyed on return.
        },
        asio::use_awaitable);
  }

  // Any thread. Resumes the waiting coroutine with `value` (or keeps it for
  // a wait() still to come); after shutdown the value is simply dropped.
  void complete(T value) {
    std::unique_lock lock(mutex_);
    if (dropped_) return;
    if (!handler_) {
      value_.emplace(std::move(value));
      return;
    }
    // Posted under the lock, so shutdown cannot run between.
    std::move_only_function<void(T)> h = std::move(handler_);
    handler_ = nullptr;
    h(std::move(value));
  }

  ForeignWait() = default;

 private:
  // Resumes the awaiting coroutine on its own io_context.
  template <class H>
  static void resume(H handler, T v) {
    auto ex = asio::get_associated_executor(handler);
    asio::post(ex, [h = std::move(handler), v = std::move(v)]() mutable { std::move(h)(std::move(v)); });
  }

  void drop_handler() noexcept override {
    std::move_only_function<void(T)> h;
    {
      std::lock_guard lock(mutex_);
      dropped_ = true;
      h = std::move(handler_);
      handler_ = nullptr;
    }
    // `h` (the coroutine with it) is destroyed here, outside the lock.
  }

  std::mutex mutex_;
  std::move_only_function<void(T)> handler_;
  std::optional<T> value_;
  bool dropped_ = false;
};

template <class T>
std::shared_ptr<Runtime::ForeignWait<T>> Runtime::make_foreign_wait() {
  auto w = std::make_shared<ForeignWait<T>>();
  register_wait(w);
  return w;
}

}  // namespace brovane::python::server
