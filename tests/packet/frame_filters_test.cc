#include "packet/frame_filters.h"

#include <gtest/gtest.h>

#include <vector>

namespace velmora {
namespace {

TEST(FrameFiltersTest, TheTrafficLimitIsABudgetPerInterval) {
  StatusCounters counters;
  counters.unicast_bytes = 600;
  counters.multicast_bytes = 399;
  EXPECT_FALSE(OverTrafficLimit(counters, true, 1000));
  counters.multicast_bytes = 400;
  EXPECT_TRUE(OverTrafficLimit(counters, true, 1000));    // reaching it is enough
  EXPECT_FALSE(OverTrafficLimit(counters, false, 1000));  // traffic control off
  EXPECT_EQ(counters.traffic_limit_drops, 1u);            // each frame refused counts as a drop
  counters.unicast_bytes = 0xffffffffu;
  counters.multicast_bytes = 0xffffffffu;
  EXPECT_TRUE(OverTrafficLimit(counters, true, int64_t{1} << 32));  // no 32-bit wrap
}

TEST(FrameFiltersTest, LowPortsOfUnfragmentedFramesOnly) {
  std::vector<uint8_t> frame(60, 0);
  frame[37] = 255;  // port 255, no flags
  EXPECT_TRUE(IsLowPortFrame(frame));
  frame[36] = 1;  // port 511
  EXPECT_FALSE(IsLowPortFrame(frame));
  frame[36] = 0;
  frame[20] = 0x40;  // don't fragment: never filtered
  EXPECT_FALSE(IsLowPortFrame(frame));
  frame[20] = 0;
  EXPECT_FALSE(IsLowPortFrame(std::span<const uint8_t>(frame).first(37)));
}

}  // namespace
}  // namespace velmora
