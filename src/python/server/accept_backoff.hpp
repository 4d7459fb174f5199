// How long the accept loop leaves the listener alone after a failed accept.
// A failure such as running out of descriptors repeats as long as its cause
// lasts, and the connection that provokes it stays queued, so accepting again
// at once would spin and write one error line per pass. The first failure
// pauses accepting for 5 ms, each further one for twice as long as the last,
// up to 1 s; a successful accept ends the pausing, and the next failure
// starts again at 5 ms. Only accepting pauses: the loop still wakes at once
// for a stop or a SIGINT.
#pragma once

#include <algorithm>
#include <chrono>

namespace brovane::python::server {

class AcceptBackoff {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kFirst{5};
  static constexpr std::chrono::milliseconds kLongest{1000};

  // An accept failed at `now`: no accepting until now + the next pause.
  void failed(Clock::time_point now) noexcept {
    pause_ = pause_ == std::chrono::milliseconds::zero() ? kFirst : std::min(pause_ * 2, kLongest);
    until_ = now + pause_;
  }

  // An accept succeeded: the next failure pauses for kFirst again.
  void succeeded() noexcept {
    pause_ = std::chrono::milliseconds::zero();
    until_ = Clock::time_point{};
  }

  // The pause that the last failure set (zero after a success).
  std::chrono::milliseconds pause() const noexcept { return pause_; }

  // Whether accepting is paused at `now`.
  bool paused(Clock::time_point now) const noexcept { return now < until_; }

  // A poll timeout (milliseconds, -1 for none) lowered to the rest of the
  // pause, rounded up so that the wait does not end just short of it.
  int poll_timeout(int timeout, Clock::time_point now) const noexcept {
    if (!paused(now)) return timeout;
    const auto rest = std::chrono::ceil<std::chrono::milliseconds>(until_ - now).count();
    const int left = static_cast<int>(std::min<decltype(rest)>(rest, kLongest.count()));
    return timeout < 0 ? left : std::min(timeout, left);
  }

 private:
  std::chrono::milliseconds pause_{0};
  Clock::time_point until_{};
};

}  // namespace brovane::python::server
