#include "python/server/runtime.hpp"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <new>
#include <string>
#include <system_error>

#include <asio/detail/epoll_reactor.hpp>

#include "python/client/io_error_map.hpp"
#include "python/core/forced_unwind.hpp"
#include "python/server/thread_capacity.hpp"

namespace brovane::python::server {

// The per-thread asyncio loop hooks (asyncio_loop.hpp), declared here so that
// the runtime itself stays free of the interpreter's headers.
void asyncio_thread_start_hook();
void asyncio_thread_stop_hook();
void retry_failed_asyncio_stops();

namespace {

constexpr char kThreadName[] = "tokio-rt-worker";  // 15 characters: the kernel's limit

// A watching worker looks at its running peers this often, and a running
// peer that has not looked for work for twice this long is held up inside
// one handler: the watcher then runs the peer's ready handlers.
constexpr auto kHeldUp = std::chrono::milliseconds(5);
constexpr std::int64_t kHeldUpNs = std::chrono::duration_cast<std::chrono::nanoseconds>(kHeldUp).count();

// Idle workers that watch while a peer runs; the others park.
constexpr std::uint64_t kWatchers = 1;

// The census word: running workers count in the low half, watching ones in
// the high half.
constexpr std::uint64_t kOneWatching = std::uint64_t{1} << 32;
constexpr std::uint64_t running_in(std::uint64_t census) noexcept { return census & (kOneWatching - 1); }
constexpr std::uint64_t watching_in(std::uint64_t census) noexcept { return census >> 32; }

// How long a worker that has just run work keeps looking for more before it
// sleeps: a reply or a request that comes within it (a loop thread's
// answer, the next request of a busy connection) costs no wake-up. A
// watcher whose wait ran out has run nothing and sleeps again at once.
constexpr std::int64_t kSpinNs = 30'000;

std::int64_t now_ns() noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Polls `io` for up to kSpinNs from `now`; whether it ran a handler.
bool spin_for_work(asio::io_context& io, std::int64_t now) {
  const std::int64_t until = now + kSpinNs;
  do {
    if (io.poll_one() > 0) return true;
  } while (now_ns() < until && !io.stopped());
  return false;
}

thread_local asio::io_context* t_worker_io = nullptr;

}  // namespace

// Every wait of a worker with peers is a blocking run of its reactor (the
// work guard keeps the reactor in the io_context's queue); this one reports
// the wait's start and end to the runtime. So a parked worker's peers learn
// that its thread left the wait before it runs the handler that woke it,
// which may hold it up for long. Polls (no timeout) are no waits, nor are
// the reactor runs of peers that help the worker. The io_context interrupts
// the wait for a handler posted to it (or to stop), which is noted, so the
// end of a wait tells whether work follows; a peer that summons the worker
// interrupts it past the note.
class Runtime::WaitReporter final : public asio::detail::epoll_reactor {
 public:
  WaitReporter(asio::execution_context& ctx, Runtime& rt, WorkerIo& w) : epoll_reactor(ctx), rt_(rt), w_(w) {}

  void run(long usec, asio::detail::op_queue<asio::detail::operation>& ops) override {
    if (usec == 0 || t_worker_io != &w_.io) {
      epoll_reactor::run(usec, ops);
      return;
    }
    rt_.wait_begins(w_, usec);
    epoll_reactor::run(usec, ops);
    const bool posted = posted_.load(std::memory_order_acquire) && posted_.exchange(false);
    rt_.wait_ends(w_, posted || !ops.empty());
  }

  void interrupt() override {
    posted_.store(true, std::memory_order_release);
    epoll_reactor::interrupt();
  }

  // Ends the worker's wait with no work for it.
  void summon() { epoll_reactor::interrupt(); }

 private:
  Runtime& rt_;
  WorkerIo& w_;
  std::atomic<bool> posted_{false};
};

std::string Runtime::cancelled_task_text(std::uint64_t task_id) {
  return "task " + std::to_string(task_id) + " was cancelled";
}

Runtime::Runtime(ThreadHooks hooks, PoolLimits limits) : hooks_(hooks), pool_limits_(limits) {
  ios_.push_back(std::make_unique<WorkerIo>());
}

Runtime::~Runtime() { shutdown(); }

std::expected<std::unique_ptr<Runtime>, protocol::IoError> Runtime::build(std::size_t workers) {
  // A count the system has no room for is refused before any thread starts.
  BRV_TRY_VOID(check_room_for_workers(workers));
  return build(workers,
               ThreadHooks{&asyncio_thread_start_hook, &asyncio_thread_stop_hook, &retry_failed_asyncio_stops});
}

std::expected<std::unique_ptr<Runtime>, protocol::IoError> Runtime::build(std::size_t workers, ThreadHooks hooks) {
  return build(workers, hooks, PoolLimits{});
}

std::expected<std::unique_ptr<Runtime>, protocol::IoError> Runtime::build(std::size_t workers, ThreadHooks hooks,
                                                                          PoolLimits limits) {
  std::unique_ptr<Runtime> rt(new Runtime(hooks, limits));
  // The count comes from the user; reserve no more than a sane share of it.
  rt->workers_.reserve(std::min<std::size_t>(workers, 1024));
  // Every io_context first: the workers look at each other's from the start.
  try {
    while (rt->ios_.size() < workers) rt->ios_.push_back(std::make_unique<WorkerIo>());
  } catch (const std::bad_alloc&) {
    rt->shutdown();
    return std::unexpected(protocol::IoError::from_kind(protocol::IoErrorKind::OutOfMemory));
  }
  if (workers > 1) {
    try {
      for (const std::unique_ptr<WorkerIo>& w : rt->ios_) {
        w->reactor = &asio::make_service<WaitReporter>(w->io, *rt, *w);
        w->reactor->init_task();
      }
    } catch (const std::system_error& e) {
      rt->shutdown();
      return std::unexpected(client::io_error_from_errno(e.code().value()));
    } catch (const std::bad_alloc&) {
      rt->shutdown();
      return std::unexpected(protocol::IoError::from_kind(protocol::IoErrorKind::OutOfMemory));
    }
    rt->census_.store(workers);  // all running until they wait
  }
  for (std::size_t i = 0; i < workers; ++i) {
    try {
      if (rt->workers_.size() == rt->workers_.capacity()) rt->workers_.reserve(std::max<std::size_t>(1, 2 * rt->workers_.size()));
    } catch (const std::bad_alloc&) {
      rt->shutdown();
      return std::unexpected(protocol::IoError::from_kind(protocol::IoErrorKind::OutOfMemory));
    }
    auto started = NativeThread::start([r = rt.get(), w = rt->ios_[i].get()] { r->run_worker(*w); });
    if (!started) {
      rt->shutdown();
      return std::unexpected(client::io_error_from_errno(started.error()));
    }
    rt->workers_.push_back(std::move(*started));  // room reserved above
  }
  return rt;
}

asio::io_context* Runtime::current_io() noexcept { return t_worker_io; }

Runtime::Placement Runtime::place_connection(Spread spread) noexcept {
  std::size_t n = ios_.size();
  if (spread == Spread::FewLoops) {
    const std::size_t most = std::min(n, kCoroutineWorkers);
    std::size_t live = 0;
    for (std::size_t i = 0; i < most; ++i) live += ios_[i]->connections.load(std::memory_order_relaxed);
    // Enough workers for two connections each, the new one included.
    n = std::clamp<std::size_t>((live + 2) / 2, 1, most);
  }
  const std::size_t start = next_io_.fetch_add(1, std::memory_order_relaxed);
  std::size_t best = start % n;
  std::size_t least = ios_[best]->connections.load(std::memory_order_relaxed);
  for (std::size_t i = 1; i < n && least > 0; ++i) {
    const std::size_t k = (start + i) % n;
    const std::size_t c = ios_[k]->connections.load(std::memory_order_relaxed);
    if (c < least) {
      least = c;
      best = k;
    }
  }
  return Placement{ios_[best]->io, WorkerLease(ios_[best]->connections)};
}

// Thread bodies are not noexcept: a thread that the interpreter ends while
// it waits for the lock during finalization unwinds through them.
BRV_CATCHES_THREAD_EXIT void Runtime::run_worker(WorkerIo& own) {
  pthread_setname_np(pthread_self(), kThreadName);
  t_worker_io = &own.io;
  if (hooks_.on_start) hooks_.on_start();
  // A handler that lets an exception escape (only std::bad_alloc can) does
  // not end the worker: the failing task is gone, the others go on.
  for (;;) {
    try {
      drive(own);
      break;
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
    }
  }
  if (hooks_.on_stop) hooks_.on_stop();
}

void Runtime::drive(WorkerIo& own) {
  asio::io_context& io = own.io;
  bool worked = false;  // the last pass ran a handler: look for more before sleeping
  if (ios_.size() == 1) {
    while (!io.stopped()) {
      if (worked && spin_for_work(io, now_ns())) continue;
      worked = io.run_one() > 0;
    }
    return;
  }
  // With peers, every wait is one of at most kHeldUp, which wait_begins
  // turns into a park (no timeout) unless this worker is to watch. A
  // heartbeat every pass, and a look at the peers every kHeldUp: a watcher
  // looks after each wait, a running worker between handlers.
  std::int64_t next_look = 0;
  while (!io.stopped()) {
    const std::int64_t now = now_ns();
    own.heartbeat.store(now, std::memory_order_relaxed);
    if (now >= next_look) {
      if (help_held_up_peers(own, now)) {
        worked = true;
        continue;  // and look again
      }
      next_look = now + kHeldUpNs;
    }
    if (worked && spin_for_work(io, now)) continue;
    worked = io.run_one_for(std::chrono::nanoseconds(next_look - now)) > 0;
  }
}

// A worker parks unless a peer runs and fewer than kWatchers others watch:
// so no worker wakes while none runs, and while one does, one watcher looks
// at it every kHeldUp. A worker that leaves a wait for work (which may hold
// it up) while nobody watches, the last watcher included, summons a parked
// peer to watch. The census word orders the two: a worker that parks seeing
// no peer running, and a parked one that starts running seeing no watcher,
// cannot miss each other.
void Runtime::wait_begins(WorkerIo& w, long& usec) noexcept {
  const bool was_watching = w.activity.load(std::memory_order_relaxed) == Activity::Watching;
  std::uint64_t census = census_.load();
  bool watch = false;
  for (;;) {
    std::uint64_t running = running_in(census);
    std::uint64_t watching = watching_in(census);
    if (was_watching) {
      --watching;
    } else {
      --running;
    }
    watch = running > 0 && watching < kWatchers;
    if (census_.compare_exchange_weak(census, running + (watching + (watch ? 1 : 0)) * kOneWatching)) break;
  }
  if (watch) {
    w.activity.store(Activity::Watching, std::memory_order_relaxed);
  } else {
    usec = -1;
    w.activity.store(Activity::Parked, std::memory_order_relaxed);
  }
}

void Runtime::wait_ends(WorkerIo& w, bool work) noexcept {
  w.heartbeat.store(now_ns(), std::memory_order_relaxed);
  Activity a = w.activity.load(std::memory_order_relaxed);
  if (a == Activity::Parked && w.activity.compare_exchange_strong(a, Activity::Running)) {
    const std::uint64_t before = census_.fetch_add(1);
    if (watching_in(before) == 0) summon_watcher(w);
    return;
  }
  // Watching, or summoned (`a`) and counted as watching already. With
  // nothing to run (the watch ran out, or the summons) it watches on, and
  // looks at its peers next.
  if (!work) {
    if (a == Activity::Summoned) w.activity.store(Activity::Watching, std::memory_order_relaxed);
    return;
  }
  start_running(w);
}

void Runtime::start_running(WorkerIo& w) noexcept {
  // One more running, one fewer watching (the low half does not overflow).
  const std::uint64_t before = census_.fetch_add(1 - kOneWatching);
  w.activity.store(Activity::Running, std::memory_order_relaxed);
  if (watching_in(before) == 1) summon_watcher(w);
}

void Runtime::summon_watcher(const WorkerIo& own) noexcept {
  const std::size_t n = ios_.size();
  const std::uint64_t census = census_.load();
  if (running_in(census) + watching_in(census) >= n) return;  // none parked
  // Counted first, so that a peer that starts running meanwhile sees a
  // watcher coming and summons no other.
  census_.fetch_add(kOneWatching);
  const std::size_t start = next_summon_.fetch_add(1, std::memory_order_relaxed);
  for (std::size_t i = 0; i < n; ++i) {
    WorkerIo& peer = *ios_[(start + i) % n];
    Activity parked = Activity::Parked;
    if (&peer == &own || !peer.activity.compare_exchange_strong(parked, Activity::Summoned)) continue;
    peer.reactor->summon();
    return;
  }
  census_.fetch_sub(kOneWatching);  // all woke meanwhile
}

bool Runtime::held_up(const WorkerIo& w, std::int64_t now) noexcept {
  // The heartbeat of a worker that is not parked is at most kHeldUp old
  // while it waits or looks for work; twice that means a handler started
  // after it and has not ended.
  return now - w.heartbeat.load(std::memory_order_relaxed) > 2 * kHeldUpNs;
}

bool Runtime::help_held_up_peers(WorkerIo& own, std::int64_t now) {
  bool ran = false;
  for (const std::unique_ptr<WorkerIo>& peer : ios_) {
    const Activity a = peer->activity.load(std::memory_order_relaxed);
    if (peer.get() == &own || a == Activity::Parked || a == Activity::Summoned || !held_up(*peer, now)) continue;
    // The peer's handlers may hold this thread up as well: another watches.
    if (own.activity.load(std::memory_order_relaxed) == Activity::Watching) start_running(own);
    // Until nothing is ready, or the peer's own thread is back.
    while (peer->io.poll_one() > 0) {
      ran = true;
      if (!held_up(*peer, now_ns())) break;
    }
  }
  return ran;
}

void Runtime::run_blocking_thread() {
  pthread_setname_np(pthread_self(), kThreadName);
  if (hooks_.on_start) hooks_.on_start();
  bool leaving = false;
  {
    std::unique_lock lock(pool_mutex_);
    for (;;) {
      if (!pool_queue_.empty()) {
        BlockingJob job = std::move(pool_queue_.front());
        pool_queue_.pop_front();
        lock.unlock();
        job();
        job = nullptr;  // the job's captures go before the lock is taken again
        lock.lock();
        continue;
      }
      if (pool_closed_) break;
      ++pool_idle_;
      const bool woken =
          pool_cv_.wait_for(lock, pool_limits_.keep_alive, [&] { return pool_wakeups_ > 0 || pool_closed_; });
      if (pool_wakeups_ > 0) {
        --pool_wakeups_;  // the submitter took us out of pool_idle_
      } else {
        --pool_idle_;
        if (!woken && pool_queue_.empty()) {  // idle for the whole keep-alive
          leaving = true;
          ++pool_leaving_;
          break;
        }
      }
    }
  }
  if (hooks_.on_stop) hooks_.on_stop();
  std::lock_guard lock(pool_mutex_);
  --pool_threads_;
  if (leaving) --pool_leaving_;
  pool_exited_.push_back(pthread_self());
  // A job queued while every thread was on its way out (a full pool starts
  // none for it, counting on them) would wait for nobody: once the last of
  // them has gone, a new thread takes it.
  if (!pool_closed_ && !pool_queue_.empty() && pool_threads_ == pool_leaving_) start_pool_thread_locked();
  pool_done_cv_.notify_all();
}

bool Runtime::start_pool_thread_locked() noexcept {
  try {
    pool_handles_.reserve(pool_handles_.size() + 1);
    if (auto t = NativeThread::start([this] { run_blocking_thread(); })) {
      pool_handles_.push_back(std::move(*t));  // room reserved above
      ++pool_threads_;
      return true;
    }
  } catch (const std::bad_alloc&) {
  }
  return false;
}

void Runtime::join_exited_pool_threads(std::unique_lock<std::mutex>& lock) {
  if (pool_exited_.empty()) return;
  std::vector<NativeThread> done;
  done.reserve(pool_exited_.size());
  for (pthread_t id : pool_exited_) {
    auto it = std::find_if(pool_handles_.begin(), pool_handles_.end(),
                           [&](const NativeThread& h) { return pthread_equal(h.id(), id) != 0; });
    if (it == pool_handles_.end()) continue;
    done.push_back(std::move(*it));
    *it = std::move(pool_handles_.back());
    pool_handles_.pop_back();
  }
  pool_exited_.clear();
  // These threads have left every member behind; joining only waits for
  // their last instructions.
  lock.unlock();
  for (NativeThread& t : done) t.join();
  lock.lock();
}

bool Runtime::try_spawn_blocking(BlockingJob job) {
  std::unique_lock lock(pool_mutex_);
  if (pool_closed_) {
    lock.unlock();
    return false;  // `job` is dropped here, outside the lock
  }
  join_exited_pool_threads(lock);
  if (pool_closed_) {
    lock.unlock();
    return false;
  }
  pool_queue_.push_back(std::move(job));
  if (pool_idle_ > 0) {
    --pool_idle_;
    ++pool_wakeups_;
    // Notified after the unlock, so that the woken thread does not wake to
    // a mutex still held here.
    lock.unlock();
    pool_cv_.notify_one();
    return true;
  }
  // A full pool: a busy thread takes it when free, or, should all of them be
  // on their way out, the thread that starts when the last has gone.
  if (pool_threads_ >= pool_limits_.max_threads) return true;
  const bool started = start_pool_thread_locked();
  // No thread for it. With other pool threads alive one of them takes it
  // later (or the one that replaces them); with none it would never run, so
  // it is dropped.
  if (started || pool_threads_ > 0) return true;
  BlockingJob lost = std::move(pool_queue_.back());
  pool_queue_.pop_back();
  lock.unlock();
  return false;
}

void Runtime::register_wait(const std::shared_ptr<ForeignWaitBase>& w) {
  // Threads take shards in turn, once each.
  static std::atomic<std::size_t> next_shard{0};
  thread_local const std::size_t t_shard = next_shard.fetch_add(1, std::memory_order_relaxed) % kWaitShards;
  WaitShard& shard = wait_shards_[t_shard];
  std::unique_lock lock(shard.mutex);
  if (shard.closed) {
    lock.unlock();
    w->drop_handler();
    return;
  }
  // Forget expired entries now and then, so the list tracks the live ones.
  if (shard.waits.size() >= 64 && shard.waits.size() == shard.waits.capacity()) {
    std::erase_if(shard.waits, [](const std::weak_ptr<ForeignWaitBase>& p) { return p.expired(); });
  }
  shard.waits.push_back(w);
}

void Runtime::shutdown() {
  if (shut_down_) return;
  shut_down_ = true;

  // Workers: stop the io_contexts; each finishes the handler it is
  // running, then runs its stop hook.
  for (auto& w : ios_) {
    w->work.reset();
    w->io.stop();
  }
  for (NativeThread& t : workers_) t.join();
  workers_.clear();

  // Blocking pool: jobs not yet started are dropped, running ones finish.
  std::deque<BlockingJob> dropped;
  {
    std::unique_lock lock(pool_mutex_);
    pool_closed_ = true;
    dropped.swap(pool_queue_);
    pool_cv_.notify_all();
  }
  dropped.clear();
  {
    std::unique_lock lock(pool_mutex_);
    pool_done_cv_.wait(lock, [&] { return pool_threads_ == 0; });
    join_exited_pool_threads(lock);
  }
  // Every runtime thread has ended and its stack is free.
  if (hooks_.on_all_ended) hooks_.on_all_ended();

  // Connection tasks queued for the interpreter: no runner is left now
  // that the workers are gone.
  interpreter_queue_.close();

  // Coroutines parked on a foreign completion.
  for (WaitShard& shard : wait_shards_) {
    std::vector<std::weak_ptr<ForeignWaitBase>> waits;
    {
      std::lock_guard lock(shard.mutex);
      shard.closed = true;
      waits.swap(shard.waits);
    }
    for (auto& w : waits)
      if (auto p = w.lock()) p->drop_handler();
  }

  // Every task still alive is a handler queued in an io_context or parked
  // in one of its services; destroying the io_contexts destroys them, and
  // their sockets with them.
  ios_.clear();
}

}  // namespace brovane::python::server
