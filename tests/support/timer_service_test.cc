#include "support/timer_service.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmora {
namespace {

using std::chrono::milliseconds;

TEST(TimerServiceTest, TimersFireInOrderOfTheirTimeWithTheirSlack) {
  SimulatedClock clock;
  TimerService timers(clock);
  std::vector<std::string> fired;
  timers.Create(milliseconds(300), [&] { fired.push_back("300"); });
  timers.Create(milliseconds(100), [&] { fired.push_back("100"); });
  timers.Create(milliseconds(95), [&] { fired.push_back("95"); });
  EXPECT_EQ(timers.WaitTime(), milliseconds(95));
  clock.Advance(milliseconds(85));
  timers.RunDue();
  EXPECT_TRUE(fired.empty());
  clock.Advance(milliseconds(1));  // 9 ms before the first: within the slack
  timers.RunDue();
  EXPECT_EQ(fired, (std::vector<std::string>{"95"}));
  clock.Advance(milliseconds(500));
  timers.RunDue();
  EXPECT_EQ(fired, (std::vector<std::string>{"95", "100", "300"}));
  EXPECT_EQ(timers.size(), 0u);
  EXPECT_EQ(timers.WaitTime(), TimerService::kMaxWait);
}

TEST(TimerServiceTest, HandlesOfGoneTimersNeverTouchNewOnes) {
  SimulatedClock clock;
  TimerService timers(clock);
  int first = 0, second = 0;
  TimerService::Handle old = timers.Create(milliseconds(10), [&] { ++first; });
  TimerService::Handle kept = old;
  timers.Cancel(old);
  EXPECT_FALSE(old);
  TimerService::Handle fresh = timers.Create(milliseconds(10), [&] { ++second; });
  EXPECT_EQ(fresh.slot, kept.slot);  // the slot is reused, with a new generation
  EXPECT_FALSE(timers.Reset(kept, milliseconds(1000)));
  timers.Cancel(kept);
  EXPECT_TRUE(timers.Waiting(fresh));
  clock.Advance(milliseconds(20));
  timers.RunDue();
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 1);
  EXPECT_FALSE(timers.Waiting(fresh));
}

TEST(TimerServiceTest, CallbacksMayCancelCreateAndReset) {
  SimulatedClock clock;
  TimerService timers(clock);
  std::vector<int> fired;
  TimerService::Handle later;
  TimerService::Handle reset;
  timers.Create(milliseconds(10), [&] {
    fired.push_back(1);
    timers.Cancel(later);  // due in the same run, and still cancelled
    timers.Create(milliseconds(0), [&] { fired.push_back(3); });
    timers.Reset(reset, milliseconds(100));
  });
  later = timers.Create(milliseconds(11), [&] { fired.push_back(2); });
  reset = timers.Create(milliseconds(12), [&] { fired.push_back(4); });
  clock.Advance(milliseconds(20));
  timers.RunDue();
  EXPECT_EQ(fired, (std::vector<int>{1}));  // the new timer waits for the next run
  timers.RunDue();
  EXPECT_EQ(fired, (std::vector<int>{1, 3}));
  clock.Advance(milliseconds(100));
  timers.RunDue();
  EXPECT_EQ(fired, (std::vector<int>{1, 3, 4}));
}

}  // namespace
}  // namespace velmora
