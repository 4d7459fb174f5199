// The server runtime on its own: worker and blocking-pool threads with their
// hooks and names, spawn_blocking, ForeignWait, and what shutdown drops.
// The runtime has no interpreter in it, so it is compiled in here directly
// with counting hooks in place of the asyncio ones.
#include "python/server/runtime.cpp"
#include "python/server/thread_capacity.cpp"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <latch>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/detached.hpp>
#include <gtest/gtest.h>

namespace brovane::python::server {

// The real hooks live with the asyncio loops; nothing here uses them.
void asyncio_thread_start_hook() {}
void asyncio_thread_stop_hook() {}
void retry_failed_asyncio_stops() {}

namespace {

using namespace std::chrono_literals;

std::atomic<int> g_starts{0};
std::atomic<int> g_stops{0};
thread_local bool t_started = false;

void count_start() {
  t_started = true;
  ++g_starts;
}
void count_stop() { ++g_stops; }

class RuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_starts = 0;
    g_stops = 0;
  }
  static std::unique_ptr<Runtime> make(std::size_t workers) {
    auto rt = Runtime::build(workers, ThreadHooks{&count_start, &count_stop});
    EXPECT_TRUE(rt.has_value());
    return std::move(*rt);
  }
};

std::string current_thread_name() {
  char buf[32] = {};
  pthread_getname_np(pthread_self(), buf, sizeof buf);
  return buf;
}

// Runs `op` on the runtime and waits (bounded) for its result.
template <class T>
T run_on(Runtime& rt, asio::awaitable<T> op) {
  std::promise<T> p;
  auto f = p.get_future();
  asio::co_spawn(rt.io(), std::move(op), [&](std::exception_ptr e, T v) {
    if (e)
      p.set_exception(e);
    else
      p.set_value(std::move(v));
  });
  EXPECT_EQ(f.wait_for(10s), std::future_status::ready);
  return f.get();
}

struct Sentinel {
  std::atomic<bool>* destroyed;
  ~Sentinel() { *destroyed = true; }
};

// Coroutines that outlive the statement that starts them take what they use
// as parameters (a lambda's captures would die with the lambda).
asio::awaitable<void> wait_for_others(Runtime* rt, std::latch* all_in, std::atomic<int>* done, int total,
                                      std::promise<void>* finished) {
  co_await rt->spawn_blocking([all_in] { all_in->arrive_and_wait(); });  // needs `total` threads at once
  if (++*done == total) finished->set_value();
}

asio::awaitable<void> park_on(std::shared_ptr<Runtime::ForeignWait<int>> w, std::atomic<bool>* destroyed,
                              std::atomic<bool>* resumed, std::promise<void>* parked) {
  Sentinel s{destroyed};
  parked->set_value();
  co_await w->wait();
  *resumed = true;
}

asio::awaitable<void> await_slow_job(Runtime* rt, std::atomic<bool>* started, std::atomic<bool>* finished,
                                     std::atomic<bool>* destroyed, std::atomic<bool>* resumed) {
  Sentinel s{destroyed};
  co_await rt->spawn_blocking([started, finished] {
    *started = true;
    std::this_thread::sleep_for(100ms);
    *finished = true;
  });
  *resumed = true;
}

asio::awaitable<void> job_then_park(Runtime* rt, std::shared_ptr<Runtime::ForeignWait<int>> w,
                                    std::atomic<bool>* destroyed) {
  Sentinel s{destroyed};
  co_await rt->spawn_blocking([] { return 1; });
  co_await w->wait();  // never completed
}

TEST_F(RuntimeTest, WorkersRunHooksAndCarryTheirName) {
  auto rt = make(3);
  EXPECT_EQ(rt->workers(), 3u);
  struct Seen {
    std::string name;
    bool started;
    bool in_io;
  };
  auto seen = run_on(*rt, [&]() -> asio::awaitable<Seen> {
    co_return Seen{current_thread_name(), t_started, rt->io().get_executor().running_in_this_thread()};
  }());
  EXPECT_EQ(seen.name, "tokio-rt-worker");
  EXPECT_TRUE(seen.started);
  EXPECT_TRUE(seen.in_io);
  rt->shutdown();
  EXPECT_EQ(g_starts.load(), 3);
  EXPECT_EQ(g_stops.load(), 3);
}

TEST_F(RuntimeTest, ConnectionsGoToTheWorkerWithTheFewest) {
  auto rt = make(3);
  auto a = std::make_unique<Runtime::Placement>(rt->place_connection());
  auto b = std::make_unique<Runtime::Placement>(rt->place_connection());
  auto c = std::make_unique<Runtime::Placement>(rt->place_connection());
  // One each, whichever comes first.
  EXPECT_NE(&a->io, &b->io);
  EXPECT_NE(&b->io, &c->io);
  EXPECT_NE(&a->io, &c->io);
  // A worker whose connection has ended is the only one with the fewest.
  asio::io_context* freed = &b->io;
  b.reset();
  EXPECT_EQ(&rt->place_connection().io, freed);
  a.reset();
  c.reset();
  rt->shutdown();
}

TEST_F(RuntimeTest, CoroutineConnectionsArePackedTwoToAWorkerOnFewWorkers) {
  auto rt = make(6);
  std::vector<Runtime::Placement> held;
  std::map<asio::io_context*, int> per_worker;
  auto place = [&] {
    held.push_back(rt->place_connection(Runtime::Spread::FewLoops));
    return ++per_worker[&held.back().io];
  };
  // Two to a worker before the next one is used...
  for (std::size_t i = 0; i < 2 * Runtime::kCoroutineWorkers; ++i) {
    place();
    EXPECT_EQ(per_worker.size(), i / 2 + 1) << "connection " << i;
  }
  // ...and never more workers than that, however many connections come.
  for (std::size_t i = 0; i < 4 * Runtime::kCoroutineWorkers; ++i) place();
  EXPECT_EQ(per_worker.size(), Runtime::kCoroutineWorkers);
  for (const auto& [io, n] : per_worker) EXPECT_EQ(n, 6);
  held.clear();
  // Spread over every worker, one each first.
  per_worker.clear();
  for (int i = 0; i < 6; ++i) held.push_back(rt->place_connection(Runtime::Spread::AllWorkers));
  for (const Runtime::Placement& p : held) ++per_worker[&p.io];
  EXPECT_EQ(per_worker.size(), 6u);
  held.clear();
  rt->shutdown();
}

TEST_F(RuntimeTest, AWorkerHeldUpInsideAHandlerHasItsOtherHandlersRunByAPeer) {
  auto rt = make(2);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<std::string> ran_by;
  asio::post(rt->io(), [released] { released.wait_for(10s); });
  asio::post(rt->io(), [&ran_by] { ran_by.set_value(current_thread_name()); });
  std::future<std::string> f = ran_by.get_future();
  // Run while the first handler still holds its own worker up.
  ASSERT_EQ(f.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(f.get(), "tokio-rt-worker");
  release.set_value();
  rt->shutdown();
}

// The times the runtime's threads have slept on something and woken since
// they started: the voluntary context switches of every thread of this
// process with the runtime's name.
std::uint64_t runtime_thread_wakeups() {
  std::uint64_t total = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::string name;
    std::getline(std::ifstream(task.path() / "comm"), name);
    if (name != "tokio-rt-worker") continue;
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with("voluntary_ctxt_switches:")) total += std::stoull(line.substr(line.find(':') + 1));
    }
  }
  return total;
}

// Every worker's io_context, through one placement on each.
std::vector<asio::io_context*> worker_ios(Runtime& rt) {
  std::vector<Runtime::Placement> held;
  std::vector<asio::io_context*> ios;
  for (std::size_t i = 0; i < rt.workers(); ++i) {
    held.push_back(rt.place_connection());
    ios.push_back(&held.back().io);
  }
  return ios;
}

// Runs a handler on each of `ios`; whether all have run within 10 s.
bool run_on_each(const std::vector<asio::io_context*>& ios) {
  auto left = std::make_shared<std::atomic<std::size_t>>(ios.size());
  for (asio::io_context* io : ios) asio::post(*io, [left] { --*left; });
  for (int i = 0; i < 1000 && *left > 0; ++i) std::this_thread::sleep_for(10ms);
  return *left == 0;
}

TEST_F(RuntimeTest, IdleWorkersSleepUntilWorkComes) {
  // Once their work is done, workers with peers wait with no timeout: over
  // half a second none of them wakes. (Workers that woke every few
  // milliseconds to look at their peers would wake hundreds of times.)
  auto rt = make(8);
  const std::vector<asio::io_context*> ios = worker_ios(*rt);
  for (int round = 0; round < 3; ++round) ASSERT_TRUE(run_on_each(ios));
  std::this_thread::sleep_for(100ms);  // the last watcher finds nobody running and parks
  const std::uint64_t before = runtime_thread_wakeups();
  std::this_thread::sleep_for(500ms);
  EXPECT_LT(runtime_thread_wakeups() - before, 8u);
  // And they still wake for work.
  EXPECT_TRUE(run_on_each(ios));
  rt->shutdown();
}

TEST_F(RuntimeTest, AWorkerHeldUpAfterTheRuntimeWentIdleHasItsOtherHandlersRunByAPeer) {
  // All workers parked, one (or two at once) is held up inside a handler
  // that woke it: a peer must notice and run the handler queued behind it.
  // Each worker in turn, since the one held up may be the one that would
  // otherwise have been woken to watch.
  auto rt = make(3);
  const std::vector<asio::io_context*> ios = worker_ios(*rt);
  const std::vector<std::vector<std::size_t>> cases = {{0}, {1}, {2}, {0, 1}, {1, 2}, {2, 0}};
  for (const std::vector<std::size_t>& held : cases) {
    SCOPED_TRACE(::testing::Message() << "held up: " << held.front() << (held.size() > 1 ? " and another" : ""));
    ASSERT_TRUE(run_on_each(ios));
    std::this_thread::sleep_for(50ms);  // every worker parks
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::vector<std::future<void>> ran;
    for (std::size_t h : held) {
      auto follower = std::make_shared<std::promise<void>>();
      ran.push_back(follower->get_future());
      asio::post(*ios[h], [released] { released.wait_for(10s); });
      asio::post(*ios[h], [follower] { follower->set_value(); });
    }
    for (std::future<void>& f : ran) EXPECT_EQ(f.wait_for(5s), std::future_status::ready);
    release.set_value();
  }
  rt->shutdown();
}

TEST_F(RuntimeTest, SpawnBlockingRunsOnAPoolThreadAndResumesOnAWorker) {
  auto rt = make(1);
  struct Out {
    std::string job_thread;
    bool job_started_hook;
    bool job_in_io;
    int value;
    bool resumed_in_io;
  };
  Out out = run_on(*rt, [&]() -> asio::awaitable<Out> {
    Out o{};
    o.value = co_await rt->spawn_blocking([&] {
      o.job_thread = current_thread_name();
      o.job_started_hook = t_started;
      o.job_in_io = rt->io().get_executor().running_in_this_thread();
      return 42;
    });
    co_await rt->spawn_blocking([] {});  // a job without a result
    o.resumed_in_io = rt->io().get_executor().running_in_this_thread();
    co_return o;
  }());
  EXPECT_EQ(out.value, 42);
  EXPECT_EQ(out.job_thread, "tokio-rt-worker");
  EXPECT_TRUE(out.job_started_hook);
  EXPECT_FALSE(out.job_in_io);
  EXPECT_TRUE(out.resumed_in_io);
  rt->shutdown();
  // One worker and at least one pool thread, each with both hooks.
  EXPECT_GE(g_starts.load(), 2);
  EXPECT_EQ(g_starts.load(), g_stops.load());
}

TEST_F(RuntimeTest, PoolGrowsForJobsThatWaitOnEachOther) {
  auto rt = make(2);
  constexpr int kJobs = 6;
  std::latch all_in(kJobs);
  std::atomic<int> done{0};
  std::promise<void> finished;
  for (int i = 0; i < kJobs; ++i)
    asio::co_spawn(rt->io(), wait_for_others(rt.get(), &all_in, &done, kJobs, &finished), asio::detached);
  EXPECT_EQ(finished.get_future().wait_for(10s), std::future_status::ready);
  rt->shutdown();
}

void slow_stop() {
  std::this_thread::sleep_for(300ms);
  ++g_stops;
}

TEST_F(RuntimeTest, AJobQueuedWhileAFullPoolIsLeavingStillRuns) {
  // At most two pool threads, which leave after 50 ms idle and are slow to
  // stop: a job that comes while both are on their way out finds the pool
  // full, and must run all the same once they have gone.
  auto built = Runtime::build(1, ThreadHooks{&count_start, &slow_stop}, Runtime::PoolLimits{2, 50ms});
  ASSERT_TRUE(built.has_value());
  std::unique_ptr<Runtime> rt = std::move(*built);
  std::latch both(2);
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(rt->try_spawn_blocking([&both] { both.arrive_and_wait(); }));
  std::this_thread::sleep_for(150ms);  // both idle past the keep-alive, in their stop hooks
  std::promise<void> ran;
  ASSERT_TRUE(rt->try_spawn_blocking([&ran] { ran.set_value(); }));
  EXPECT_EQ(ran.get_future().wait_for(5s), std::future_status::ready);
  rt->shutdown();
}

TEST_F(RuntimeTest, ForeignWaitResumesWithTheValueWhicheverComesFirst) {
  auto rt = make(1);
  auto early = rt->make_foreign_wait<int>();
  early->complete(7);  // before the wait
  EXPECT_EQ(run_on(*rt, early->wait()), 7);

  auto late = rt->make_foreign_wait<std::string>();
  std::thread completer([late] {
    std::this_thread::sleep_for(20ms);
    late->complete("done");
  });
  EXPECT_EQ(run_on(*rt, late->wait()), "done");
  completer.join();
  rt->shutdown();
}

TEST_F(RuntimeTest, ShutdownDropsParkedCoroutinesAndLaterCompletionsAreIgnored) {
  auto rt = make(2);
  auto w = rt->make_foreign_wait<int>();
  std::atomic<bool> destroyed{false}, resumed{false};
  std::promise<void> parked;
  asio::co_spawn(rt->io(), park_on(w, &destroyed, &resumed, &parked), asio::detached);
  ASSERT_EQ(parked.get_future().wait_for(10s), std::future_status::ready);
  std::this_thread::sleep_for(10ms);  // let it reach the wait
  rt->shutdown();
  EXPECT_TRUE(destroyed.load());
  EXPECT_FALSE(resumed.load());
  w->complete(1);  // the runtime is gone: nothing to resume, no crash
  rt.reset();
  w->complete(2);
}

TEST_F(RuntimeTest, ShutdownLetsARunningJobFinishButDropsItsCoroutine) {
  auto rt = make(1);
  std::atomic<bool> job_started{false}, job_finished{false}, destroyed{false}, resumed{false};
  asio::co_spawn(rt->io(), await_slow_job(rt.get(), &job_started, &job_finished, &destroyed, &resumed),
                 asio::detached);
  for (int i = 0; i < 1000 && !job_started; ++i) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(job_started.load());
  rt->shutdown();
  EXPECT_TRUE(job_finished.load());
  EXPECT_TRUE(destroyed.load());
  EXPECT_FALSE(resumed.load());
  EXPECT_EQ(g_starts.load(), g_stops.load());
}

TEST_F(RuntimeTest, ShutdownDropsSleepingTasksAndIsIdempotent) {
  auto rt = make(2);
  std::atomic<bool> destroyed{false};
  auto w = rt->make_foreign_wait<int>();
  asio::co_spawn(rt->io(), job_then_park(rt.get(), w, &destroyed), asio::detached);
  std::this_thread::sleep_for(50ms);
  rt->shutdown();
  rt->shutdown();
  EXPECT_TRUE(destroyed.load());
}

}  // namespace
}  // namespace brovane::python::server
