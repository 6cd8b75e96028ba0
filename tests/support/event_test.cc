#include "support/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace velmora {
namespace {

TEST(EventTest, AutoResetsAfterOneWait) {
  Event event;
  event.Signal();
  EXPECT_TRUE(event.WaitFor(std::chrono::milliseconds(0)));
  EXPECT_FALSE(event.WaitFor(std::chrono::milliseconds(1)));
}

TEST(EventTest, TimesOutInSimulatedTime) {
  SimulatedClock clock;
  Event event(clock);
  std::atomic<bool> done{false};
  std::thread waiter([&] {
    EXPECT_FALSE(event.WaitFor(std::chrono::seconds(2)));
    done = true;
  });
  while (!done) {
    clock.Advance(std::chrono::seconds(3));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  waiter.join();
}

TEST(EventTest, SignalWakesAWaiter) {
  SimulatedClock clock;
  Event event(clock);
  std::thread waiter([&] { EXPECT_TRUE(event.WaitFor(std::chrono::hours(1))); });
  event.Signal();
  waiter.join();
}

}  // namespace
}  // namespace velmora
