#include "bandwidth/rate_meter.h"

#include <gtest/gtest.h>

namespace velmora::TessaroBWControl {
namespace {

using std::chrono::milliseconds;
using TimePoint = Clock::TimePoint;

TimePoint At(int ms) {
  return TimePoint{} + milliseconds(ms);
}

// The rate at `now` if `bytes` more were recorded then, as a queue reads it to choose.
uint64_t RateWith(const BWCRateMeter& meter, uint64_t bytes, TimePoint now) {
  return meter.WindowAt(now).RateWith(bytes, now);
}

TEST(RateMeterTest, SteadyTrafficReadsItsRate) {
  BWCRateMeter meter(At(0));
  // 1000 bytes every 8 ms: 1,000,000 bit/s.
  for (int t = 0; t <= 2000; t += 8) meter.Record(1000, At(t));
  EXPECT_NEAR(static_cast<double>(meter.CurrentRate(At(2000))), 1'000'000, 40'000);
  EXPECT_NEAR(static_cast<double>(RateWith(meter, 1000, At(2008))), 1'000'000, 40'000);
  EXPECT_EQ(meter.total_bytes(), 251'000u);
}

TEST(RateMeterTest, TheBaseIsTheOldestSampleWithinThePeriod) {
  BWCRateMeter meter(At(0));
  // First traffic ten seconds after creation: the window starts at it, not at creation, and the
  // datagram at its base opens it rather than counting in it.
  meter.Record(1000, At(10'000));
  EXPECT_EQ(RateWith(meter, 1000, At(10'000)), BWCRateMeter::kUnmeasurable);
  EXPECT_EQ(RateWith(meter, 1000, At(10'008)), 1'000'000u);  // 1000 bytes in 8 ms
  EXPECT_EQ(meter.CurrentRate(At(10'000)), 0u);
  // 1 Mbit/s, then a pause of 200 ms: the rate is that of the last period, not of the traffic
  // before it.
  for (int t = 10'008; t <= 10'500; t += 8) meter.Record(1000, At(t));
  EXPECT_NEAR(static_cast<double>(RateWith(meter, 0, At(10'500))), 1'000'000, 40'000);
  EXPECT_LT(RateWith(meter, 0, At(10'700)), 1'000'000u * 70 / 270 + 45'000);
  // After an idle spell the first datagram is the new base at once.
  meter.Record(1000, At(12'000));
  EXPECT_EQ(RateWith(meter, 1000, At(12'008)), 1'000'000u);
}

TEST(RateMeterTest, AWaitingRateDecaysBelowTheRateOfOneDatagramAPeriod) {
  BWCRateMeter meter(At(0));
  // Nothing recorded since creation: the next datagram reads over the whole wait.
  EXPECT_EQ(RateWith(meter, 1400, At(2800)), 4'000u);
  // One datagram of 1400 bytes a second after the last one reads 11,200 bit/s, two seconds
  // after it 5,600: far below what one datagram in a period would read (41,481).
  meter.Record(1400, At(1000));
  EXPECT_EQ(RateWith(meter, 1400, At(2000)), 11'200u);
  EXPECT_EQ(RateWith(meter, 1400, At(3000)), 5'600u);
  // A flow of one datagram every 1.4 s reads its own 8,000 bit/s when the next one is due.
  for (int t = 2400; t <= 9400; t += 1400) meter.Record(1400, At(t));
  EXPECT_EQ(RateWith(meter, 1400, At(10'800)), 8'000u);
  EXPECT_EQ(meter.CurrentRate(At(10'800)), 0u);  // nothing within the last period
  EXPECT_EQ(meter.total_bytes(), 1400u * 7);
}

TEST(RateMeterTest, HugeCountsSaturateInsteadOfWrapping) {
  BWCRateMeter meter(At(0));
  meter.Record(UINT64_MAX / 4, At(0));
  EXPECT_EQ(RateWith(meter, 0, At(10)), UINT64_MAX);
}

}  // namespace
}  // namespace velmora::TessaroBWControl
