#include "bandwidth/rate_meter.h"

#include <gtest/gtest.h>

namespace velmora::TessaroBWControl {
namespace {

using std::chrono::milliseconds;
using TimePoint = Clock::TimePoint;

TimePoint At(int ms) {
  return TimePoint{} + milliseconds(ms);
}

TEST(RateMeterTest, SteadyTrafficReadsItsRate) {
  BWCRateMeter meter(At(0));
  // 1000 bytes every 8 ms: 1,000,000 bit/s.
  for (int t = 0; t <= 2000; t += 8) meter.Record(1000, At(t));
  EXPECT_NEAR(static_cast<double>(meter.CurrentRate(At(2000))), 1'000'000, 40'000);
  EXPECT_NEAR(static_cast<double>(meter.RateWith(1000, At(2008))), 1'000'000, 40'000);
  EXPECT_EQ(meter.total_bytes(), 251'000u);
}

TEST(RateMeterTest, TheSpanNeverReachesBeyondThePeriod) {
  BWCRateMeter meter(At(0));
  // First traffic ten seconds after creation: the window starts at it, not at creation.
  meter.Record(1000, At(10'000));
  EXPECT_EQ(meter.RateWith(1000, At(10'000)), BWCRateMeter::kUnmeasurable);
  EXPECT_EQ(meter.RateWith(1000, At(10'008)), 2'000'000u);  // 2000 bytes in 8 ms
  EXPECT_EQ(meter.CurrentRate(At(10'000)), 0u);
  // 1 Mbit/s, then a pause of 200 ms: the rate is that of the last period, not of the traffic
  // before it.
  for (int t = 10'008; t <= 10'500; t += 8) meter.Record(1000, At(t));
  EXPECT_NEAR(static_cast<double>(meter.RateWith(0, At(10'500))), 1'000'000, 40'000);
  EXPECT_LT(meter.RateWith(0, At(10'700)), 1'000'000u * 70 / 270 + 45'000);
}

TEST(RateMeterTest, AnIdleMeterOffersAWholePeriod) {
  BWCRateMeter meter(At(0));
  EXPECT_EQ(meter.RateWith(1000, At(0)), 1000u * 8 * 1000 / 270);
  meter.Record(1000, At(5));
  meter.Record(1000, At(100));
  EXPECT_EQ(meter.RateWith(1000, At(375)), 1000u * 8 * 1000 / 270);  // idle again
  EXPECT_EQ(meter.CurrentRate(At(375)), 0u);
  EXPECT_GT(meter.CurrentRate(At(200)), 0u);
}

TEST(RateMeterTest, HugeCountsSaturateInsteadOfWrapping) {
  BWCRateMeter meter(At(0));
  meter.Record(UINT64_MAX / 4, At(0));
  EXPECT_EQ(meter.RateWith(0, At(10)), UINT64_MAX);
}

}  // namespace
}  // namespace velmora::TessaroBWControl
