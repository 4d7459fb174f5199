// Work that needs one lock that many threads want (the interpreter lock),
// combined on the thread that holds it. A thread with work becomes a runner
// when there is none: it takes the lock, does its own work, then whatever
// was queued meanwhile. Otherwise it queues its work and goes on with other
// things. At load one thread takes the lock once for many calls, and the
// others never sleep on it.
//
// A call may itself release the lock and wait for something else (a sleep, a
// socket), or keep it for long. When the runners have neither started nor
// ended a call for a while (kStall), the next thread with work, or else a
// watch timer while tasks wait, becomes the standby: it waits for the lock
// (free at once when the call waits for something else; shared by the
// interpreter's switch interval when it does not) and then runs the queue as
// a runner. So a call that waits holds up the others for about kStall while
// work keeps arriving, and for about two kWatchPeriods at worst.
//
// Knows nothing of the lock itself: runners take and release it around the
// calls below.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

namespace brovane::python::server {

class CombiningQueue {
 public:
  using Clock = std::chrono::steady_clock;

  // Far longer than a call that only computes a little, far shorter than
  // one that waits for I/O.
  static constexpr std::chrono::microseconds kStall{100};
  static constexpr std::chrono::milliseconds kWatchPeriod{1};

  // Queued work. Called once by a runner, with true when the runner holds
  // the lock and false when the lock could not be taken (the work must then
  // complete without it); or destroyed uncalled when the queue closes. Must
  // not throw.
  using Task = std::move_only_function<void(bool locked)>;

  // Starts the standby from the watch timer, on a runtime thread: it waits
  // for the lock, calls standby_done and runs as a runner.
  using StartStandby = void (*)(void* context);

  // `stall`: kStall, or another span for tests.
  explicit CombiningQueue(Clock::duration stall = kStall) : stall_(stall) {}
  CombiningQueue(const CombiningQueue&) = delete;
  CombiningQueue& operator=(const CombiningQueue&) = delete;

  enum class Role : std::uint8_t {
    Runner,   // take the lock, do the work, then run the queue
    Standby,  // the runners are stalled: wait for the lock, call standby_done, then as Runner
    Busy,     // nothing changed: hand the work over with push
  };
  Role enter();

  enum class Push : std::uint8_t {
    Queued,   // a runner or the standby will call it
    Run,      // there was none: the caller is a runner now, its task queued first
    Standby,  // the runners are stalled: the caller is the standby now, its task queued
    Closed,   // refused: the task is still the caller's
  };
  // Queues `task`; `io` (the pushing thread's) runs the watch timer, which
  // starts a standby with `start` and `context` (the same for every push to
  // this queue).
  Push push(Task& task, asio::io_context& io, StartStandby start, void* context);

  // The standby holds the lock now and is a runner.
  void standby_done();

  // Runner, holding the lock: its previous call, if any, has ended at `now`;
  // the oldest queued task is moved into `task`, false when none is queued.
  bool pop(Task& task, Clock::time_point now);

  enum class Leave : std::uint8_t {
    Left,      // no longer a runner: nothing is queued, or the standby takes it
    Continue,  // tasks wait and nobody else takes them: take the lock again
    HandOver,  // the same, past the time budget: start a runner elsewhere,
               // which inherits the role (or, if none can be, continue)
  };
  // Runner, after releasing the lock.
  Leave leave(bool over_budget);

  // Refuses work from now on and destroys what is queued and the watch
  // timer. Call it once no runner is left, before `io` goes.
  void close();

 private:
  bool empty() const noexcept { return head_ == queue_.size(); }
  bool stalled(Clock::time_point now) const noexcept {
    return runners_ > 0 && !standby_ && now - last_progress_ > stall_;
  }
  // The role a thread with work takes now; under the mutex.
  Role claim(Clock::time_point now) noexcept;
  void arm_watch(StartStandby start, void* context);
  void on_watch(StartStandby start, void* context);

  const Clock::duration stall_;
  std::mutex mutex_;
  std::vector<Task> queue_;  // queue_[head_] is the oldest
  std::size_t head_ = 0;
  std::size_t runners_ = 0;  // and runners handed over, not started yet
  bool standby_ = false;
  bool closed_ = false;
  Clock::time_point last_progress_{};  // the latest start or end of a call
  std::optional<asio::steady_timer> watch_;
  bool watching_ = false;
};

inline CombiningQueue::Role CombiningQueue::claim(Clock::time_point now) noexcept {
  if (runners_ == 0 && !standby_) {
    runners_ = 1;
    last_progress_ = now;
    return Role::Runner;
  }
  if (stalled(now)) {
    standby_ = true;
    return Role::Standby;
  }
  return Role::Busy;
}

inline CombiningQueue::Role CombiningQueue::enter() {
  const Clock::time_point now = Clock::now();
  std::lock_guard lock(mutex_);
  return claim(now);
}

inline CombiningQueue::Push CombiningQueue::push(Task& task, asio::io_context& io, StartStandby start, void* context) {
  const Clock::time_point now = Clock::now();
  std::lock_guard lock(mutex_);
  if (closed_) return Push::Closed;
  queue_.push_back(std::move(task));
  // Whatever a runner or the standby finds queued it runs before it leaves.
  switch (claim(now)) {
    case Role::Runner: return Push::Run;
    case Role::Standby: return Push::Standby;
    case Role::Busy: break;
  }
  if (!watching_) {
    try {
      // On the pusher's io_context: its thread is free to run it.
      if (!watch_ || &watch_->get_executor().context() != &io) watch_.emplace(io);
      arm_watch(start, context);
      watching_ = true;
    } catch (const std::bad_alloc&) {
      // No watch this time: only later work can call a standby in.
    }
  }
  return Push::Queued;
}

inline void CombiningQueue::arm_watch(StartStandby start, void* context) {
  watch_->expires_after(kWatchPeriod);
  watch_->async_wait([this, start, context](std::error_code ec) {
    if (!ec) on_watch(start, context);
  });
}

inline void CombiningQueue::on_watch(StartStandby start, void* context) {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    if (empty()) {
      watching_ = false;
      return;
    }
    try {
      arm_watch(start, context);
    } catch (const std::bad_alloc&) {
      watching_ = false;
    }
    if (!stalled(Clock::now())) return;
    standby_ = true;
  }
  start(context);
}

inline void CombiningQueue::standby_done() {
  const Clock::time_point now = Clock::now();
  std::lock_guard lock(mutex_);
  standby_ = false;
  ++runners_;
  last_progress_ = now;
}

inline bool CombiningQueue::pop(Task& task, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  last_progress_ = now;
  if (empty()) return false;
  task = std::move(queue_[head_++]);
  if (empty()) {
    queue_.clear();  // the moved-from tasks hold nothing; the room stays
    head_ = 0;
  }
  return true;
}

inline CombiningQueue::Leave CombiningQueue::leave(bool over_budget) {
  std::lock_guard lock(mutex_);
  // A standby runs the queue once it has the lock, which this runner has
  // just given up. Another runner may be inside a call that waits for
  // something else, so it is not counted on.
  if (empty() || standby_) {
    --runners_;
    return Leave::Left;
  }
  if (!over_budget) return Leave::Continue;
  last_progress_ = Clock::now();  // the runner handed over to starts afresh
  return Leave::HandOver;
}

inline void CombiningQueue::close() {
  std::vector<Task> dropped;
  std::optional<asio::steady_timer> watch;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    dropped.swap(queue_);
    head_ = 0;
    watch.swap(watch_);
  }
}


}  // namespace brovane::python::server
