// The combining queue's roles on their own, without an interpreter: who runs,
// who queues, when a standby is called for, and what closing destroys.
#include "python/server/combining_queue.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace brovane::python::server {
namespace {

using Queue = CombiningQueue;
using Role = Queue::Role;
using Push = Queue::Push;
using Leave = Queue::Leave;

std::atomic<int> g_standbys{0};
void count_standby(void*) { ++g_standbys; }

Queue::Task recording(std::vector<std::string>& log, std::string name) {
  return [&log, name](bool locked) { log.push_back(name + (locked ? "" : " unlocked")); };
}

// Pops and calls everything queued, as a runner holding the lock does.
void run_all(Queue& q, bool locked = true) {
  Queue::Task t;
  while (q.pop(t, Queue::Clock::now())) {
    t(locked);
    t = nullptr;
  }
}

using namespace std::chrono_literals;

// Runners that never count as stalled, and runners that do as soon as a
// moment has passed.
constexpr auto kNever = std::chrono::hours(1);
constexpr auto kAtOnce = Queue::Clock::duration::zero();
void a_moment() { std::this_thread::sleep_for(1ms); }

TEST(CombiningQueue, FirstThreadRunsOthersQueueInOrder) {
  asio::io_context io;
  Queue q(kNever);
  std::vector<std::string> log;
  EXPECT_EQ(q.enter(), Role::Runner);
  EXPECT_EQ(q.enter(), Role::Busy);
  for (const char* name : {"a", "b", "c"}) {
    auto t = recording(log, name);
    EXPECT_EQ(q.push(t, io, &count_standby, nullptr), Push::Queued);
    EXPECT_FALSE(static_cast<bool>(t));
  }
  run_all(q);
  EXPECT_EQ(log, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(q.leave(false), Leave::Left);
  // Nobody runs now: the next thread is a runner again.
  EXPECT_EQ(q.enter(), Role::Runner);
  EXPECT_EQ(q.leave(false), Leave::Left);
  q.close();
}

TEST(CombiningQueue, PushWithoutARunnerMakesTheCallerOne) {
  asio::io_context io;
  Queue q(kNever);
  std::vector<std::string> log;
  auto t = recording(log, "a");
  EXPECT_EQ(q.push(t, io, &count_standby, nullptr), Push::Run);
  EXPECT_EQ(q.enter(), Role::Busy);
  run_all(q, false);
  EXPECT_EQ(log, (std::vector<std::string>{"a unlocked"}));
  EXPECT_EQ(q.leave(false), Leave::Left);
  q.close();
}

TEST(CombiningQueue, ARunnerLeavesOnlyAnEmptyQueue) {
  asio::io_context io;
  Queue q(kNever);
  std::vector<std::string> log;
  ASSERT_EQ(q.enter(), Role::Runner);
  // Work that came in after the runner's last look: it must look again.
  auto t = recording(log, "late");
  ASSERT_EQ(q.push(t, io, &count_standby, nullptr), Push::Queued);
  EXPECT_EQ(q.leave(false), Leave::Continue);
  EXPECT_EQ(q.leave(true), Leave::HandOver);  // the role goes with the hand-over
  EXPECT_EQ(q.enter(), Role::Busy);
  run_all(q);
  EXPECT_EQ(q.leave(false), Leave::Left);
  EXPECT_EQ(log, (std::vector<std::string>{"late"}));
  q.close();
}

TEST(CombiningQueue, StalledRunnersGetOneStandby) {
  asio::io_context io;
  Queue q(kAtOnce);
  ASSERT_EQ(q.enter(), Role::Runner);
  a_moment();
  EXPECT_EQ(q.enter(), Role::Standby);
  EXPECT_EQ(q.enter(), Role::Busy);  // one standby at a time
  std::vector<std::string> log;
  auto t = recording(log, "a");
  EXPECT_EQ(q.push(t, io, &count_standby, nullptr), Push::Queued);
  // A runner leaves the queue to the standby, which runs it once it holds
  // the lock.
  EXPECT_EQ(q.leave(false), Leave::Left);
  q.standby_done();
  run_all(q);
  EXPECT_EQ(log, (std::vector<std::string>{"a"}));
  EXPECT_EQ(q.leave(false), Leave::Left);
  EXPECT_EQ(q.enter(), Role::Runner);
  EXPECT_EQ(q.leave(false), Leave::Left);
  q.close();
}

TEST(CombiningQueue, APushToStalledRunnersMakesTheCallerTheStandby) {
  asio::io_context io;
  Queue q(kAtOnce);
  ASSERT_EQ(q.enter(), Role::Runner);
  a_moment();
  std::vector<std::string> log;
  auto t = recording(log, "a");
  EXPECT_EQ(q.push(t, io, &count_standby, nullptr), Push::Standby);
  EXPECT_TRUE(log.empty());  // queued for the standby, not run by push
  EXPECT_EQ(q.enter(), Role::Busy);
  q.standby_done();
  run_all(q);
  EXPECT_EQ(log, (std::vector<std::string>{"a"}));
  EXPECT_EQ(q.leave(false), Leave::Left);
  EXPECT_EQ(q.leave(false), Leave::Left);
  q.close();
}

TEST(CombiningQueue, RunnersThatProgressGetNoStandby) {
  asio::io_context io;
  Queue q(kNever);
  ASSERT_EQ(q.enter(), Role::Runner);
  a_moment();
  EXPECT_EQ(q.enter(), Role::Busy);
  std::vector<std::string> log;
  auto t = recording(log, "a");
  EXPECT_EQ(q.push(t, io, &count_standby, nullptr), Push::Queued);
  g_standbys = 0;
  io.run_for(Queue::kWatchPeriod * 5);  // the watch looks and finds no stall
  EXPECT_EQ(g_standbys, 0);
  run_all(q);
  EXPECT_EQ(q.leave(false), Leave::Left);
  q.close();
}

// Work queued behind a runner that then stalls, with nobody else arriving:
// the watch timer starts the standby.
TEST(CombiningQueue, TheWatchStartsAStandbyForWaitingWork) {
  asio::io_context io;
  Queue q(50ms);  // the push comes well within it, the watch well after
  g_standbys = 0;
  std::vector<std::string> log;
  ASSERT_EQ(q.enter(), Role::Runner);
  auto t = recording(log, "a");
  ASSERT_EQ(q.push(t, io, &count_standby, nullptr), Push::Queued);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (g_standbys == 0 && std::chrono::steady_clock::now() < deadline) io.run_for(5ms);
  ASSERT_EQ(g_standbys, 1);
  EXPECT_EQ(q.enter(), Role::Busy);  // the standby has been counted
  q.standby_done();
  run_all(q);
  EXPECT_EQ(log, (std::vector<std::string>{"a"}));
  EXPECT_EQ(q.leave(false), Leave::Left);  // the standby, done
  EXPECT_EQ(q.leave(false), Leave::Left);  // the first runner, back from its call
  // With nothing queued the watch stops by itself.
  io.run_for(Queue::kWatchPeriod * 5);
  EXPECT_EQ(g_standbys, 1);
  q.close();
}

TEST(CombiningQueue, CloseDestroysQueuedWorkAndRefusesMore) {
  asio::io_context io;
  Queue q(kNever);
  auto alive = std::make_shared<int>(0);
  std::weak_ptr<int> watch = alive;
  bool called = false;
  ASSERT_EQ(q.enter(), Role::Runner);
  Queue::Task t = [keep = std::move(alive), &called](bool) { called = true; };
  ASSERT_EQ(q.push(t, io, &count_standby, nullptr), Push::Queued);
  q.close();
  EXPECT_TRUE(watch.expired());
  EXPECT_FALSE(called);
  Queue::Task u = [&called](bool) { called = true; };
  EXPECT_EQ(q.push(u, io, &count_standby, nullptr), Push::Closed);
  EXPECT_TRUE(static_cast<bool>(u));  // still the caller's
  EXPECT_FALSE(called);
  io.run_for(Queue::kWatchPeriod * 3);  // the cancelled watch does nothing
}

// Many threads with work, as the server's workers: every piece of work runs
// exactly once, under the lock, and no thread is left waiting for work that
// nobody runs. Short stalls (a thread preempted while it holds the lock)
// bring in standbys on the way.
TEST(CombiningQueue, ManyThreadsEveryTaskRunsOnce) {
  asio::io_context io;
  Queue q;
  constexpr int kThreads = 8;
  constexpr int kEach = 2000;
  std::mutex lock;  // stands for the interpreter lock
  int ran = 0;      // under `lock`
  auto run_as_runner = [&](bool own, bool standby) {
    for (;;) {
      {
        std::lock_guard held(lock);
        if (standby) q.standby_done();
        standby = false;
        if (own) ++ran;
        own = false;
        Queue::Task t;
        while (q.pop(t, Queue::Clock::now())) {
          t(true);
          t = nullptr;
        }
      }
      if (q.leave(false) == Leave::Left) return;
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      for (int k = 0; k < kEach; ++k) {
        switch (q.enter()) {
          case Role::Runner: run_as_runner(true, false); continue;
          case Role::Standby: run_as_runner(true, true); continue;
          case Role::Busy: break;
        }
        Queue::Task t = [&](bool locked) {
          EXPECT_TRUE(locked);
          ++ran;
        };
        switch (q.push(t, io, &count_standby, nullptr)) {
          case Push::Queued: break;
          case Push::Run: run_as_runner(false, false); break;
          case Push::Standby: run_as_runner(false, true); break;
          case Push::Closed: ADD_FAILURE(); break;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  std::lock_guard held(lock);
  EXPECT_EQ(ran, kThreads * kEach);
  q.close();
}

}  // namespace
}  // namespace brovane::python::server
