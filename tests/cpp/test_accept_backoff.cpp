// The accept loop's pauses after failed accepts: their growth, their end
// after a success, and the poll timeouts they give.
#include "python/server/accept_backoff.hpp"

#include <vector>

#include <gtest/gtest.h>

namespace brovane::python::server {
namespace {

using namespace std::chrono_literals;
using Clock = AcceptBackoff::Clock;

TEST(AcceptBackoff, PausesDoubleFromFiveMillisecondsUpToOneSecond) {
  AcceptBackoff b;
  const Clock::time_point t0 = Clock::now();
  EXPECT_FALSE(b.paused(t0));
  std::vector<long> pauses;
  for (int i = 0; i < 11; ++i) {
    b.failed(t0);
    pauses.push_back(static_cast<long>(b.pause().count()));
  }
  EXPECT_EQ(pauses, (std::vector<long>{5, 10, 20, 40, 80, 160, 320, 640, 1000, 1000, 1000}));
}

TEST(AcceptBackoff, ASuccessEndsThePausingAndTheNextFailureStartsAgain) {
  AcceptBackoff b;
  const Clock::time_point t0 = Clock::now();
  for (int i = 0; i < 5; ++i) b.failed(t0);
  b.succeeded();
  EXPECT_FALSE(b.paused(t0));
  EXPECT_EQ(b.poll_timeout(-1, t0), -1);
  b.failed(t0);
  EXPECT_EQ(b.pause(), 5ms);
}

TEST(AcceptBackoff, PollTimeoutsEndNoLaterThanThePause) {
  AcceptBackoff b;
  const Clock::time_point t0 = Clock::now();
  b.failed(t0);
  b.failed(t0);  // 10 ms from t0
  struct Case {
    Clock::duration at;
    int timeout;
    int expected;
  };
  const Case cases[] = {
      {0ms, -1, 10},                // no timeout of its own: the pause's rest
      {0ms, 0, 0},                  // a wake-up already due is not delayed
      {0ms, 100, 10},               // the shorter of the two
      {0ms, 3, 3},
      {9ms + 100us, -1, 1},         // the rest rounded up, never 0 while paused
      {10ms, -1, -1},               // the pause is over
      {25ms, 100, 100},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(b.poll_timeout(c.timeout, t0 + c.at), c.expected)
        << "at " << std::chrono::duration_cast<std::chrono::microseconds>(c.at).count() << " us, timeout "
        << c.timeout;
    EXPECT_EQ(b.paused(t0 + c.at), c.at < 10ms);
  }
}

}  // namespace
}  // namespace brovane::python::server
