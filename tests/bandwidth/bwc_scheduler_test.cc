#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "bandwidth/bwc_controller.h"
#include "platform/address_text.h"
#include "support/log.h"
#include "testing/limited_clock.h"
#include "testing/list_console.h"

namespace velmora::TessaroBWControl {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

uint32_t Ip(int last) {
  return DottedToAddress("10.0.0." + std::to_string(last));
}

// What the paced sender sent, with the simulated time of each send.
struct Sent {
  Clock::TimePoint time;
  uint32_t address;
  size_t length;
};

class RecordingTransmitter final : public BWCTransmitter {
 public:
  RecordingTransmitter(const Clock& clock, std::vector<Sent>& sent, std::mutex& mutex)
      : clock_(clock), sent_(sent), mutex_(mutex) {}
  bool Open(uint32_t, uint16_t) override { return true; }
  void Close() override {}
  int32_t Send(std::span<const uint8_t> datagram) override {
    uint32_t address = 0;
    std::memcpy(&address, datagram.data(), 4);
    if (fail_with != 0) return fail_with;
    std::lock_guard<std::mutex> guard(mutex_);
    sent_.push_back({clock_.Now(), address, datagram.size()});
    return 0;
  }
  std::atomic<int32_t> fail_with{0};

 private:
  const Clock& clock_;
  std::vector<Sent>& sent_;
  std::mutex& mutex_;
};

class SchedulerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_.SetConsoleTarget(&console_);
    bwc_.SetDestination(DottedToAddress("127.0.0.1"), 8000);
  }
  void TearDown() override { clock_.Unlimit(); }

  // `count` datagrams of `length` bytes to `address`; how many were queued.
  int Offer(uint32_t address, int count, size_t length = 1000) {
    std::vector<uint8_t> datagram(length, 0x5a);
    std::memcpy(datagram.data(), &address, 4);
    int queued = 0;
    for (int i = 0; i < count; ++i) {
      queued += bwc_.Enqueue(datagram) == BWCController::EnqueueResult::kQueued;
    }
    return queued;
  }
  Clock::TimePoint At(Clock::Duration d) const { return Clock::TimePoint{} + d; }

  // Bit/s sent to `address` (0: to all) in [from, to).
  double RateBetween(Clock::Duration from, Clock::Duration to, uint32_t address = 0) {
    uint64_t bytes = 0;
    std::lock_guard<std::mutex> guard(sent_mutex_);
    for (const Sent& s : sent_) {
      if (s.time >= At(from) && s.time < At(to) && (address == 0 || s.address == address)) {
        bytes += s.length;
      }
    }
    return bytes * 8.0 / std::chrono::duration<double>(to - from).count();
  }
  // The most bytes sent in any 270 ms window.
  uint64_t BusiestWindowBytes() {
    std::lock_guard<std::mutex> guard(sent_mutex_);
    uint64_t best = 0, bytes = 0;
    size_t first = 0;
    for (const Sent& s : sent_) {
      bytes += s.length;
      while (s.time - sent_[first].time >= milliseconds(270)) bytes -= sent_[first++].length;
      best = std::max(best, bytes);
    }
    return best;
  }

  testing::LimitedClock clock_;
  Log log_;
  testing::ListConsole console_;
  std::mutex sent_mutex_;
  std::vector<Sent> sent_;
  RecordingTransmitter* transmitter_ = new RecordingTransmitter(clock_, sent_, sent_mutex_);
  BWCController bwc_{clock_, log_, std::unique_ptr<BWCTransmitter>(transmitter_)};
};

TEST_F(SchedulerTest, OneAddressIsHeldAtItsMaximumAndItsQueueAtItsCapacity) {
  bwc_.SetPhysicalBandwidth(2'000'000);
  bwc_.AddProfile("One", 1'000'000, 1'000'000, 500'000);
  bwc_.AddAddress(Ip(1), "One");
  // 1,000,000 x 3000 / 8000 = 375,000 bytes, overshot by at most one datagram.
  EXPECT_EQ(Offer(Ip(1), 500, 999), 376);
  EXPECT_EQ(bwc_.GetProfileStatistics().profiles["One"].level, 0);
  bwc_.Enable(true);
  clock_.RunTo(At(seconds(3)));
  EXPECT_NEAR(RateBetween(milliseconds(0), seconds(3), Ip(1)), 1'000'000, 20'000);
  EXPECT_LE(BusiestWindowBytes(), 1'000'000 * 270 / 8000 + 999);
  const BWCStatistics stats = bwc_.GetProfileStatistics();
  EXPECT_EQ(stats.profiles.at("One").level, 1);   // above its guarantee, no new drop
  EXPECT_TRUE(stats.profiles.at("One").dropped);  // since the last reset
  EXPECT_NEAR(static_cast<double>(stats.current_total), 1'000'000, 40'000);
}

TEST_F(SchedulerTest, BacklogAfterAnIdleSpellStartsAtTheRateNotInABurst) {
  bwc_.SetPhysicalBandwidth(2'000'000);
  bwc_.SetBufferTime(10000);
  bwc_.AddProfile("One", 2'000'000, 2'000'000, 0);
  bwc_.AddAddress(Ip(1), "One");
  bwc_.Enable(true);
  clock_.RunTo(At(seconds(5)));  // idle: the meters have nothing in their window
  Offer(Ip(1), 1000);
  clock_.RunTo(At(seconds(7)));
  EXPECT_LE(RateBetween(seconds(5), seconds(5) + milliseconds(100)), 2'000'000 * 1.05);
  EXPECT_LE(BusiestWindowBytes(), 2'000'000 * 270 / 8000);
  EXPECT_NEAR(RateBetween(seconds(5), seconds(7)), 2'000'000, 40'000);
}

TEST_F(SchedulerTest, BackloggedAddressesShareThePhysicalBandwidth) {
  bwc_.SetPhysicalBandwidth(2'000'000);
  bwc_.SetBufferTime(10000);
  bwc_.AddProfile("Shared", 2'000'000, 1'000'000, 600'000);
  for (int i = 1; i <= 3; ++i) bwc_.AddAddress(Ip(i), "Shared");
  for (int i = 1; i <= 3; ++i) Offer(Ip(i), 1250);
  bwc_.Enable(true);
  clock_.RunTo(At(seconds(4)));
  for (int i = 1; i <= 3; ++i) {
    EXPECT_NEAR(RateBetween(seconds(1), seconds(4), Ip(i)), 2'000'000 / 3.0, 20'000) << i;
  }
  EXPECT_LE(BusiestWindowBytes(), 2'000'000 * 270 / 8000);
}

TEST_F(SchedulerTest, GuaranteesComeBeforeSharesOfTheMaximum) {
  bwc_.SetPhysicalBandwidth(2'000'000);
  bwc_.SetBufferTime(10000);
  bwc_.AddProfile("Gold", 1'500'000, 1'500'000, 1'500'000);
  bwc_.AddProfile("Free", 500'000, 500'000, 0);
  bwc_.AddAddress(Ip(9), "Gold");
  for (int i = 1; i <= 3; ++i) bwc_.AddAddress(Ip(i), "Free");
  for (int i : {1, 2, 3, 9}) Offer(Ip(i), 2000);
  bwc_.Enable(true);
  clock_.RunTo(At(seconds(4)));
  // By shares of the maximum alone Gold would get 1,000,000.
  EXPECT_NEAR(RateBetween(seconds(1), seconds(4), Ip(9)), 1'500'000, 30'000);
  for (int i = 1; i <= 3; ++i) {
    EXPECT_NEAR(RateBetween(seconds(1), seconds(4), Ip(i)), 500'000 / 3.0, 15'000) << i;
  }
}

TEST_F(SchedulerTest, ALargerSummaryWaitsOnATie) {
  bwc_.SetPhysicalBandwidth(2'000'000);
  bwc_.AddProfile("Large", 1'500'000, 500'000, 100'000);
  bwc_.AddProfile("Small", 500'000, 500'000, 100'000);
  bwc_.AddAddress(Ip(1), "Large");  // first in address order
  bwc_.AddAddress(Ip(2), "Small");
  Offer(Ip(1), 1);
  Offer(Ip(2), 1);
  const auto destination = [](const std::vector<uint8_t>& datagram) {
    uint32_t address = 0;
    std::memcpy(&address, datagram.data(), 4);
    return address;
  };
  EXPECT_EQ(bwc_.PeekPacketLength(), 1000u);
  EXPECT_EQ(destination(bwc_.PopPacket()), Ip(2));
  EXPECT_EQ(destination(bwc_.PopPacket()), Ip(1));
  EXPECT_TRUE(bwc_.PopPacket().empty());
  EXPECT_EQ(bwc_.PeekPacketLength(), 0u);
}

TEST_F(SchedulerTest, PeekedQueueRemovedBeforeThePop) {
  bwc_.SetPhysicalBandwidth(2'000'000);
  bwc_.AddProfile("A", 1'000'000, 1'000'000, 0);
  bwc_.AddAddress(Ip(1), "A");
  bwc_.AddAddress(Ip(2), "A");
  Offer(Ip(1), 1, 100);
  Offer(Ip(2), 1, 200);
  EXPECT_EQ(bwc_.PeekPacketLength(), 100u);
  bwc_.RemoveAddress(Ip(1));
  EXPECT_EQ(bwc_.PopPacket().size(), 200u);  // the best of what is left
}

TEST_F(SchedulerTest, AProfileChangeKeepsTheWaitingDatagramsAndTakesEffect) {
  bwc_.SetPhysicalBandwidth(4'000'000);
  bwc_.SetBufferTime(10000);
  bwc_.AddProfile("A", 2'000'000, 500'000, 0);
  bwc_.AddAddress(Ip(1), "A");
  Offer(Ip(1), 1000);
  bwc_.Enable(true);
  clock_.RunTo(At(seconds(2)));
  const size_t waiting = bwc_.Queue(Ip(1))->queued_packets;
  bwc_.ChangeProfile("A", 2'000'000, 2'000'000, 0);
  EXPECT_EQ(bwc_.Queue(Ip(1))->queued_packets, waiting);
  EXPECT_EQ(bwc_.Queue(Ip(1))->capacity, uint64_t{2'000'000} * 10000 / 8000);
  clock_.RunTo(At(seconds(4)));
  EXPECT_NEAR(RateBetween(seconds(1), seconds(2), Ip(1)), 500'000, 10'000);
  EXPECT_NEAR(RateBetween(seconds(3), seconds(4), Ip(1)), 2'000'000, 40'000);
}

TEST_F(SchedulerTest, ARateOfFifteenMegabitsIsNeverChosen) {
  bwc_.SetPhysicalBandwidth(15'000'000);
  bwc_.AddProfile("Top", 15'000'000, 15'000'000, 0);
  bwc_.AddAddress(Ip(1), "Top");
  Offer(Ip(1), 1, 506'250);  // 15,000,000 bit/s over the 270 ms window of an idle meter
  EXPECT_EQ(bwc_.PeekPacketLength(), 0u);
  EXPECT_TRUE(bwc_.PopPacket().empty());
}

TEST_F(SchedulerTest, WithoutDestinationNothingIsSentUntilOneIsSet) {
  bwc_.SetPhysicalBandwidth(2'000'000);
  bwc_.AddProfile("A", 1'000'000, 1'000'000, 0);
  bwc_.AddAddress(Ip(1), "A");
  bwc_.SetDestination(BWCSender::kNoDestination, 8000);
  bwc_.Enable(true);
  Offer(Ip(1), 10);
  clock_.Advance(seconds(2));
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_TRUE(sent_.empty());
  EXPECT_EQ(bwc_.Queue(Ip(1))->queued_packets, 10u);
  bwc_.SetDestination(DottedToAddress("127.0.0.1"), 8000);
  clock_.RunFor(seconds(1));
  EXPECT_EQ(sent_.size(), 10u);
}

TEST_F(SchedulerTest, FailedSendsAreLostAndLoggedOnceASecond) {
  bwc_.SetPhysicalBandwidth(2'000'000);
  bwc_.AddProfile("A", 1'000'000, 1'000'000, 0);
  bwc_.AddAddress(Ip(1), "A");
  Offer(Ip(1), 300);  // 2.4 s of traffic at the maximum
  transmitter_->fail_with = 10065;
  bwc_.Enable(true);
  clock_.RunTo(At(milliseconds(1500)));
  EXPECT_EQ(console_.Count("sendto() failed; 10065"), 2);
  EXPECT_TRUE(console_.Has("sendto() failed; 10065; 1 datagram(s) lost"));
  transmitter_->fail_with = 0;
  const size_t waiting = bwc_.Queue(Ip(1))->queued_packets;
  clock_.RunFor(seconds(1));
  EXPECT_EQ(sent_.size(), waiting - bwc_.Queue(Ip(1))->queued_packets);  // none is retried
}

TEST_F(SchedulerTest, DatagramsWithoutAQueueAreCountedAndLoggedOnceASecond) {
  bwc_.SetPhysicalBandwidth(2'000'000);
  EXPECT_EQ(bwc_.Enqueue(std::vector<uint8_t>{}), BWCController::EnqueueResult::kIgnored);
  EXPECT_EQ(bwc_.Enqueue(std::vector<uint8_t>(3)), BWCController::EnqueueResult::kIgnored);
  Offer(Ip(7), 5);
  clock_.Advance(milliseconds(999));
  Offer(Ip(7), 5);
  clock_.Advance(milliseconds(1));
  Offer(Ip(8), 1);
  EXPECT_EQ(bwc_.unplaced_datagrams(), 11u);
  EXPECT_EQ(console_.Count("Not configured."), 2);
  EXPECT_TRUE(console_.Has("10.0.0.7 - Not configured.; 1 datagram(s) without a queue dropped"));
  EXPECT_TRUE(console_.Has("10.0.0.8 - Not configured.; 10 datagram(s) without a queue dropped"));
}

TEST_F(SchedulerTest, StatisticsLevelsPeaksAndTheirReset) {
  bwc_.SetPhysicalBandwidth(4'000'000);
  bwc_.SetBufferTime(10000);
  bwc_.AddProfile("Low", 1'000'000, 500'000, 500'000);
  bwc_.AddProfile("High", 1'000'000, 1'000'000, 200'000);
  bwc_.AddProfile("Idle", 1'000'000, 1'000'000, 200'000);
  bwc_.AddAddress(Ip(1), "Low");
  bwc_.AddAddress(Ip(2), "High");
  Offer(Ip(1), 500);
  Offer(Ip(2), 500);
  bwc_.Enable(true);
  clock_.RunTo(At(seconds(2)));
  BWCStatistics stats = bwc_.GetProfileStatistics();
  EXPECT_EQ(stats.address_count, 2u);
  EXPECT_EQ(stats.profiles.at("Low").level, 2);
  EXPECT_EQ(stats.profiles.at("High").level, 1);
  EXPECT_EQ(stats.profiles.at("Idle").level, 3);
  EXPECT_EQ(stats.profiles.at("Idle").address_count, 0u);
  EXPECT_NEAR(stats.profiles.at("High").share, 100, 4);
  EXPECT_EQ(stats.current_total,
            stats.profiles.at("Low").current + stats.profiles.at("High").current);
  EXPECT_EQ(stats.peak_total, stats.current_total);
  EXPECT_EQ(bwc_.Profile("High")->peak, stats.profiles.at("High").current);
  bwc_.Enable(false);
  clock_.Advance(seconds(2));
  bwc_.ResetPeaks();
  stats = bwc_.GetProfileStatistics();
  EXPECT_EQ(stats.peak_total, 0u);
  for (const auto& [alias, entry] : stats.profiles) {
    EXPECT_EQ(entry.level, 3) << alias;
    EXPECT_EQ(entry.profile.peak, 0u) << alias;
  }
}

}  // namespace
}  // namespace velmora::TessaroBWControl
