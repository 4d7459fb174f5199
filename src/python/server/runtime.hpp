// The server's multi-threaded runtime: one io_context run by a fixed set of
// worker threads, plus a blocking pool that grows on demand for work that
// must not stall the workers (name resolution, coroutine-function calls).
// Every thread the runtime starts, worker or blocking, is named
// "tokio-rt-worker" and runs the start hook before it takes any work and the
// stop hook as it ends.
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

class Runtime;

// Blocking-pool work that is best done by one pool thread at a time: calls
// that all need the interpreter lock, which many pool threads would only
// take in turns, each turn a hand-over between threads. push() queues an
// item; when no pool thread is running the lane, a runner job is started,
// which takes the lock and runs the items queued, one after another, and
// those queued meanwhile, until the lane is empty. Items are taken one at a
// time, so that none waits in a runner's hands behind an item that blocks;
// while items wait and a runner is busy, a watchdog job checks every kStall
// whether an item has been started since, and when none has (the running
// item blocks, or waits for the lock) it becomes a runner itself.
class PoolLane {
 public:
  static constexpr std::chrono::milliseconds kStall{2};

  struct Item {
    virtual ~Item() = default;
    // No pool thread could be had to run it: it never runs, and is told the
    // runtime's join-error text instead. Called once, on the pushing thread.
    virtual void refuse(std::string join_error) noexcept = 0;
    std::uint64_t task_id = 0;  // set by push()
  };

  // One hold of the lock by a runner.
  class Turn {
   public:
    // The oldest queued item, now the caller's to run; null when none is.
    std::unique_ptr<Item> next();
    Runtime& runtime() const noexcept { return lane_.runtime_; }

   private:
    friend class PoolLane;
    explicit Turn(PoolLane& lane) noexcept : lane_(lane) {}
    PoolLane& lane_;
  };
  // On a pool thread: takes the lock, runs items from turn.next() (as many
  // as it sees fit), and releases the lock. Must not throw.
  using Hold = void (*)(Turn& turn);

  explicit PoolLane(Runtime& runtime) : runtime_(runtime) {}
  PoolLane(const PoolLane&) = delete;
  PoolLane& operator=(const PoolLane&) = delete;

  // Any thread. Every push to one lane passes the same `hold`. After the
  // runtime has shut down the item is dropped unrun and unrefused.
  void push(std::unique_ptr<Item> item, Hold hold);

 private:
  friend class Runtime;
  void run(Hold hold);    // a runner job: holds until the lane is empty
  void watch(Hold hold);  // a watchdog job
  void drop_queued() noexcept;  // at shutdown, after the pool has ended

  Runtime& runtime_;
  std::mutex mutex_;
  std::deque<std::unique_ptr<Item>> queue_;
  std::size_t runners_ = 0;  // runner jobs submitted and not yet ended
  bool watching_ = false;    // a watchdog job is submitted and not yet ended
  std::uint64_t started_ = 0;  // items handed to runners so far
  bool closed_ = false;
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

  asio::io_context& io() noexcept { return *io_; }
  std::size_t workers() const noexcept { return workers_.size(); }

  // Interpreter work of the connection tasks, combined on the worker that
  // holds the lock (plain_call.hpp). What is still queued at shutdown is
  // destroyed with its connection tasks.
  CombiningQueue& interpreter_queue() noexcept { return interpreter_queue_; }

  // Runs `job` on a blocking-pool thread (started on demand, at most
  // kMaxBlockingThreads; an idle one ends after kBlockingKeepAlive) and
  // resumes the awaiting coroutine on io() with its result. When the runtime
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

  // The runtime's lane for work that needs the interpreter lock (coroutine
  // functions' calls).
  PoolLane& pool_interpreter_lane() noexcept { return pool_interpreter_lane_; }

  // Ends every task at its next suspension point and joins every runtime
  // thread (each running its stop hook): workers stop, queued blocking jobs
  // are dropped, running ones finish, then every handler still queued or
  // parked in a ForeignWait is destroyed. Idempotent; call it without the
  // interpreter lock and not from a runtime thread.
  void shutdown();

  // A one-shot completion fulfilled from a thread outside the runtime (an
  // asyncio loop thread, say). The awaiting coroutine's handler stays owned
  // by the runtime, so shutdown can drop it before io() goes away, and a
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
  void run_worker();
  void run_blocking_thread();
  void register_wait(const std::shared_ptr<ForeignWaitBase>& w);

  void join_exited_pool_threads(std::unique_lock<std::mutex>& lock);
  // Starts one more pool thread; false when it cannot be started. Under
  // pool_mutex_.
  bool start_pool_thread_locked() noexcept;

  ThreadHooks hooks_;
  std::optional<asio::io_context> io_;  // destroyed at the end of shutdown()
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
  std::vector<NativeThread> workers_;

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
  PoolLane pool_interpreter_lane_{*this};

  bool shut_down_ = false;
};

template <class F>
asio::awaitable<std::invoke_result_t<F>> Runtime::spawn_blocking(F job) {
  using R = std::invoke_result_t<F>;
  if constexpr (std::is_void_v<R>) {
    co_await asio::async_initiate<const asio::use_awaitable_t<>&, void()>(
        [this](auto handler, F f) {
          try_spawn_blocking([this, h = std::move(handler), f = std::move(f)]() mutable {
            f();
            asio::post(*io_, std::move(h));
          });
        },
        asio::use_awaitable, std::move(job));
  } else {
    co_return co_await asio::async_initiate<const asio::use_awaitable_t<>&, void(R)>(
        [this](auto handler, F f) {
          try_spawn_blocking([this, h = std::move(handler), f = std::move(f)]() mutable {
            R r = f();
            asio::post(*io_, [h = std::move(h), r = std::move(r)]() mutable { std::move(h)(std::move(r)); });
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
            asio::post(*runtime_.io_, [h = std::move(handler), v = std::move(v)]() mutable {
              std::move(h)(std::move(v));
            });
          } else if (!dropped_) {
            handler_ = [h = std::move(handler)](T v) mutable { std::move(h)(std::move(v)); };
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
    asio::post(*runtime_.io_, [h = std::move(handler_), v = std::move(value)]() mutable { h(std::move(v)); });
    handler_ = nullptr;
  }

  explicit ForeignWait(Runtime& rt) : runtime_(rt) {}

 private:
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

  Runtime& runtime_;
  std::mutex mutex_;
  std::move_only_function<void(T)> handler_;
  std::optional<T> value_;
  bool dropped_ = false;
};

template <class T>
std::shared_ptr<Runtime::ForeignWait<T>> Runtime::make_foreign_wait() {
  auto w = std::make_shared<ForeignWait<T>>(*this);
  register_wait(w);
  return w;
}

}  // namespace brovane::python::server
