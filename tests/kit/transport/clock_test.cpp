#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include "kit/transport/clock.h"

namespace tillerpad::kit {
namespace {

using namespace std::chrono_literals;

// An owner that cancels its timer in its destructor must never be called
// afterwards, also when the timer had come due and its call was queued.
TEST(ClockTest, TimerCancelledAfterComingDueDoesNotFire) {
  asio::io_context io;
  ManualClock clock;
  int fired = 0;
  auto kept = clock.schedule(io.get_executor(), 1s, [&] { ++fired; });
  auto dropped = clock.schedule(io.get_executor(), 1s, [&] { fired += 10; });
  clock.advance(1s);  // both calls are now queued on the executor
  dropped.reset();
  io.run();
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(clock.pendingTimers(), 0u);
}

}  // namespace
}  // namespace tillerpad::kit
