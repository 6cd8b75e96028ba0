#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "bandwidth/bwc_controller.h"
#include "platform/address_text.h"
#include "support/log.h"
#include "testing/limited_clock.h"
#include "testing/list_console.h"
#include "testing/velmora_process.h"

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

// The most bytes sent in any 270 ms window.
uint64_t BusiestWindow(const std::vector<Sent>& sent) {
  uint64_t best = 0, bytes = 0;
  size_t first = 0;
  for (const Sent& s : sent) {
    bytes += s.length;
    while (s.time - sent[first].time >= milliseconds(270)) bytes -= sent[first++].length;
    best = std::max(best, bytes);
  }
  return best;
}

class RecordingTransmitter final : public BWCTransmitter {
 public:
  RecordingTransmitter(const Clock& clock, std::vector<Sent>& sent, std::mutex& mutex)
      : clock_(clock), sent_(sent), mutex_(mutex) {}
  bool Open(uint32_t, uint16_t) override { return true; }
  void Close() override {}
  int32_t Send(std::span<const uint8_t> datagram) override {
    uint32_t address = 0;
    std::memcpy(&address, datagram.data(), 4);
    if (fail_with != 0) {
      ++failed;
      return fail_with;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    sent_.push_back({clock_.Now(), address, datagram.size()});
    return 0;
  }
  std::atomic<int32_t> fail_with{0};
  std::atomic<int> failed{0};

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
  // 10.0.0.5 and 2001:db8::a00:5, which share their last four bytes, in profile "A" of 1 Mbit/s
  // on a physical bandwidth of 2 Mbit/s.
  std::pair<uint32_t, Ipv6Address> AddSiblings() {
    bwc_.SetPhysicalBandwidth(2'000'000);
    bwc_.AddProfile("A", 1'000'000, 1'000'000, 0);
    const uint32_t v4 = DottedToAddress("10.0.0.5");
    const Ipv6Address v6 = *TextToIpv6("2001:db8::a00:5");
    bwc_.AddAddress(v4, "A");
    bwc_.AddAddress(v6, "A");
    return {v4, v6};
  }

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
  // Bytes sent to `address` (0: to all) in [from, to).
  uint64_t BytesBetween(Clock::Duration from, Clock::Duration to, uint32_t address = 0) {
    uint64_t bytes = 0;
    std::lock_guard<std::mutex> guard(sent_mutex_);
    for (const Sent& s : sent_) {
      if (s.time >= At(from) && s.time < At(to) && (address == 0 || s.address == address)) {
        bytes += s.length;
      }
    }
    return bytes;
  }
  // Runs the sender to `to` with every queue of `addresses` filled to its capacity every 100 ms,
  // so that none ever runs dry.
  void RunBacklogged(const std::vector<uint32_t>& addresses, Clock::Duration to, size_t length) {
    while (clock_.Now() < At(to)) {
      for (uint32_t address : addresses) {
        while (Offer(address, 1, length) == 1) {
        }
      }
      clock_.RunTo(std::min(clock_.Now() + milliseconds(100), At(to)));
    }
  }
  // The sum of the counts logged in lines that hold `text`, each count ending at `text`.
  int LoggedCount(std::string_view text) const {
    int total = 0;
    for (const std::string& entry : console_.entries) {
      const size_t end = entry.find(text);
      if (end == std::string::npos) continue;
      const size_t begin = entry.rfind(' ', end - 1) + 1;
      total += std::stoi(entry.substr(begin, end - begin));
    }
    return total;
  }
  // For a sender thread that only idles and so never moves the clock: advances it in 10 ms steps,
  // each given a little real time, until `done` or for three seconds, then waits for `done`.
  bool AdvanceUntil(const std::function<bool()>& done) {
    const Clock::TimePoint end = clock_.Now() + seconds(3);
    while (!done() && clock_.Now() < end) {
      clock_.Advance(milliseconds(10));
      std::this_thread::sleep_for(milliseconds(2));
    }
    return testing::WaitFor(done);
  }
  uint64_t BusiestWindowBytes() {
    std::lock_guard<std::mutex> guard(sent_mutex_);
    return BusiestWindow(sent_);
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
  EXPECT_LE(BusiestWindowBytes(), 2'000'000 * 270 / 8000 + 1000);
  EXPECT_NEAR(RateBetween(seconds(5), seconds(7)), 2'000'000, 40'000);
}

TEST_F(SchedulerTest, AfterAnIdleSpellTheFirstDatagramsLeaveSpacedAtTheRate) {
  bwc_.SetPhysicalBandwidth(15'000'000);
  bwc_.AddProfile("Many", 15'000'000, 2'000'000, 0);
  for (int i = 1; i <= 12; ++i) bwc_.AddAddress(Ip(i), "Many");
  bwc_.Enable(true);
  clock_.RunTo(At(seconds(5)));  // idle: the last datagram was booked long ago
  for (int i = 1; i <= 12; ++i) Offer(Ip(i), 10);
  clock_.RunTo(At(seconds(5) + milliseconds(20)));
  std::lock_guard<std::mutex> guard(sent_mutex_);
  ASSERT_GE(sent_.size(), 12u);
  // By every send, no more than one datagram beyond 15 Mbit/s since the first: 1000 bytes each
  // 533 us, none in a burst.
  const Clock::TimePoint first = sent_.front().time;
  uint64_t bits = 0;
  for (const Sent& s : sent_) {
    bits += s.length * 8;
    const auto elapsed = static_cast<uint64_t>((s.time - first).count());
    ASSERT_LE(bits * 1'000'000'000, 8000 * 1'000'000'000ull + 15'000'000 * elapsed)
        << (s.time - first).count() << " ns";
  }
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
  EXPECT_LE(BusiestWindowBytes(), 2'000'000 * 270 / 8000 + 1000);
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

// The rules checked on a long backlog: what an address got in `seconds` against `rate` bit/s,
// within one datagram or 2 % where that is more.
double Tolerance(double rate, int seconds, size_t length) {
  return std::max<double>(length, rate * seconds / 8 * 0.02);
}

TEST_F(SchedulerTest, LowMaximaGetTheirMaximumOverALongBacklog) {
  bwc_.SetPhysicalBandwidth(2'000'000);
  bwc_.SetBufferTime(10000);
  const uint32_t maxima[] = {8'000, 20'000, 32'000, 50'000, 80'000, 1'000'000};
  std::vector<uint32_t> addresses;
  for (int i = 0; i < 6; ++i) {
    const std::string alias = "Max" + std::to_string(maxima[i]);
    bwc_.AddProfile(alias, std::max<uint32_t>(maxima[i], 56'000), maxima[i], 0);
    bwc_.AddAddress(Ip(i + 1), alias);
    addresses.push_back(Ip(i + 1));
  }
  bwc_.Enable(true);
  RunBacklogged(addresses, seconds(20), 1400);
  for (int i = 0; i < 6; ++i) {
    EXPECT_NEAR(BytesBetween(seconds(0), seconds(20), Ip(i + 1)), maxima[i] * 20.0 / 8,
                Tolerance(maxima[i], 20, 1400))
        << maxima[i];
  }
  EXPECT_LE(BusiestWindowBytes(), 2'000'000 * 270 / 8000 + 1400);
}

TEST_F(SchedulerTest, LowGuaranteesAreKeptAgainstBusierQueues) {
  bwc_.SetPhysicalBandwidth(2'000'000);
  bwc_.SetBufferTime(10000);
  // Four bulk addresses fill the link at about a quarter of their maximum each; the low ones
  // would lose every choice by shares of the maximum but are owed their guarantee first.
  bwc_.AddProfile("Bulk", 1'944'000, 1'944'000, 0);
  bwc_.AddProfile("Low", 56'000, 56'000, 8'000);
  std::vector<uint32_t> addresses;
  for (int i = 1; i <= 4; ++i) bwc_.AddAddress(Ip(i), "Bulk");
  for (int i = 11; i <= 17; ++i) bwc_.AddAddress(Ip(i), "Low");
  for (int i : {1, 2, 3, 4, 11, 12, 13, 14, 15, 16, 17}) addresses.push_back(Ip(i));
  bwc_.Enable(true);
  RunBacklogged(addresses, seconds(20), 1400);
  for (int i = 11; i <= 17; ++i) {
    EXPECT_GE(BytesBetween(seconds(0), seconds(20), Ip(i)), 8'000 * 20 / 8 - 1400) << i;
    EXPECT_LE(BytesBetween(seconds(0), seconds(20), Ip(i)), 56'000 * 20 / 8 + 1400) << i;
  }
  EXPECT_NEAR(BytesBetween(seconds(1), seconds(20)), 2'000'000 * 19.0 / 8, 2'000'000 * 19.0 / 800);
  EXPECT_LE(BusiestWindowBytes(), 2'000'000 * 270 / 8000 + 1400);
}

TEST_F(SchedulerTest, ALongBacklogFillsThePhysicalBandwidthWithinHalfAPercent) {
  for (const uint32_t physical : {2'000'000u, 10'000'000u, 15'000'000u}) {
    SCOPED_TRACE(physical);
    bwc_.Clear();
    {
      std::lock_guard<std::mutex> guard(sent_mutex_);
      sent_.clear();
    }
    const Clock::Duration start = clock_.Now() - Clock::TimePoint{};
    bwc_.SetPhysicalBandwidth(physical);
    bwc_.SetBufferTime(10000);
    bwc_.AddProfile("All", physical, physical / 2, 0);
    for (int i = 1; i <= 3; ++i) bwc_.AddAddress(Ip(i), "All");
    bwc_.Enable(true);
    RunBacklogged({Ip(1), Ip(2), Ip(3)}, start + seconds(10), 1000);
    const double total = BytesBetween(start + seconds(1), start + seconds(10)) * 8.0 / 9;
    EXPECT_NEAR(total, physical, physical * 0.005);
    EXPECT_LE(BusiestWindowBytes(), physical * 27 / 800 + 1000);
  }
}

// The fixture's simulated time with a sender thread woken late: every seventh pause lasts three
// polls longer, as on a loaded machine.
class LateWakingClock final : public Clock {
 public:
  // Every `every`-th pause lasts `polls` pauses.
  LateWakingClock(testing::LimitedClock& clock, int every, int polls)
      : clock_(clock), every_(every), polls_(polls) {}
  TimePoint Now() const override { return clock_.Now(); }
  void SleepFor(Duration d) override {
    const int polls = ++sleeps_ % every_ == 0 ? polls_ : 1;
    for (int i = 0; i < polls; ++i) clock_.SleepFor(d);
  }
  bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                 TimePoint deadline, const std::function<bool()>& done) override {
    return clock_.WaitUntil(lock, cv, deadline, done);
  }

 private:
  testing::LimitedClock& clock_;
  const int every_;
  const int polls_;
  int sleeps_ = 0;  // the sender thread's alone
};

// A sender thread on the fixture's clock whose every `every`-th pause lasts `polls` pauses, with
// a backlog of three addresses at 15 Mbit/s for 10 s: it catches up within the period rule.
class LateSenderTest : public SchedulerTest {
 protected:
  void ExpectCatchUp(int every, int polls) {
    std::vector<Sent> sent;
    std::mutex mutex;
    LateWakingClock late(clock_, every, polls);
    BWCController bwc(late, log_, std::make_unique<RecordingTransmitter>(clock_, sent, mutex));
    bwc.SetDestination(DottedToAddress("127.0.0.1"), 8000);
    bwc.SetPhysicalBandwidth(15'000'000);
    bwc.SetBufferTime(10000);
    bwc.AddProfile("All", 15'000'000, 7'500'000, 0);
    std::vector<uint8_t> datagram(1000, 0x5a);
    for (int i = 1; i <= 3; ++i) bwc.AddAddress(Ip(i), "All");
    bwc.Enable(true);
    while (clock_.Now() < At(seconds(10))) {
      for (int i = 1; i <= 3; ++i) {
        const uint32_t address = Ip(i);
        std::memcpy(datagram.data(), &address, 4);
        while (bwc.Enqueue(datagram) == BWCController::EnqueueResult::kQueued) {
        }
      }
      clock_.RunFor(milliseconds(100));
    }
    bwc.Enable(false);
    clock_.Unlimit();
    std::lock_guard<std::mutex> guard(mutex);
    uint64_t total = 0;
    for (const Sent& s : sent) {
      if (s.time >= At(seconds(1)) && s.time < At(seconds(10))) total += s.length;
    }
    EXPECT_NEAR(total * 8.0 / 9, 15'000'000, 15'000'000 * 0.005);
    EXPECT_LE(BusiestWindow(sent), 15'000'000 / 8000 * 270 + 1000);
  }
};

TEST_F(LateSenderTest, ASenderWokenLateNowAndThenCatchesUp) {
  ExpectCatchUp(7, 4);
}

TEST_F(SchedulerTest, FourThousandBackloggedAddressesAreAllServedWithinTheirRules) {
  constexpr int kAddresses = 4096;
  bwc_.SetPhysicalBandwidth(15'000'000);
  // Room for eight datagrams an address; the maxima together are five times the link.
  bwc_.AddProfile("Many", 15'000'000, 20'000, 3'000);
  std::vector<uint32_t> addresses;
  for (int i = 0; i < kAddresses; ++i) {
    addresses.push_back(
        DottedToAddress("10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256)));
    bwc_.AddAddress(addresses.back(), "Many");
  }
  bwc_.Enable(true);
  RunBacklogged(addresses, seconds(6), 1000);
  std::map<uint32_t, uint64_t> bytes;
  {
    std::lock_guard<std::mutex> guard(sent_mutex_);
    for (const Sent& s : sent_) bytes[s.address] += s.length;
  }
  const double fair = 15'000'000.0 * 6 / 8 / kAddresses;
  for (uint32_t address : addresses) {
    ASSERT_GE(bytes[address], 3'000 * 6 / 8 - 1000) << AddressToDotted(address);  // guarantee
    ASSERT_NEAR(bytes[address], fair, 1500) << AddressToDotted(address);          // even share
  }
  EXPECT_NEAR(BytesBetween(seconds(1), seconds(6)) * 8.0 / 5, 15'000'000, 15'000'000 * 0.005);
  EXPECT_LE(BusiestWindowBytes(), 15'000'000 / 8000 * 270 + 1000);
}

TEST_F(SchedulerTest, SourcesEnqueueWhileTheSenderChoosesAndEveryDatagramIsAccountedFor) {
  bwc_.SetPhysicalBandwidth(15'000'000);
  bwc_.AddProfile("A", 15'000'000, 2'000'000, 0);
  for (int i = 1; i <= 8; ++i) bwc_.AddAddress(Ip(i), "A");
  bwc_.Enable(true);
  std::atomic<int> queued{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> sources;
  for (int t = 0; t < 2; ++t) {
    sources.emplace_back([&, t] {
      for (int n = 0; n < 2000; ++n) queued += Offer(Ip(1 + (n + t) % 8), 1, 500);
    });
  }
  std::thread stepper([&] {
    while (!done) clock_.RunFor(milliseconds(5));
  });
  for (std::thread& source : sources) source.join();
  done = true;
  stepper.join();
  bwc_.Enable(false);
  size_t waiting = 0;
  for (int i = 1; i <= 8; ++i) waiting += bwc_.Queue(Ip(i))->queued_packets;
  std::lock_guard<std::mutex> guard(sent_mutex_);
  EXPECT_EQ(sent_.size() + waiting, static_cast<size_t>(queued.load()));
}

// The control thread removes, changes and clears while two sources enqueue and the sender sends:
// every datagram offered is refused, sent, still waiting or discarded with its queue.
TEST_F(SchedulerTest, ControlOperationsAmidSourcesAndTheSenderLoseNoDatagram) {
  constexpr int kAddresses = 6;
  const auto configure = [&] {
    bwc_.SetPhysicalBandwidth(15'000'000);
    bwc_.AddProfile("A", 7'000'000, 2'000'000, 100'000);
    bwc_.AddProfile("B", 7'000'000, 3'000'000, 200'000);
    for (int i = 1; i <= kAddresses; ++i) bwc_.AddAddress(Ip(i), i % 2 ? "A" : "B");
    bwc_.Enable(true);
  };
  configure();
  std::atomic<bool> controlling{true};
  std::atomic<uint64_t> queued{0}, full{0}, unplaced{0};
  std::vector<std::thread> sources;
  for (int t = 0; t < 2; ++t) {
    sources.emplace_back([&, t] {
      std::vector<uint8_t> datagram(500, 0x5a);
      for (int n = 0; controlling && n < 200'000; ++n) {
        const uint32_t address = Ip(1 + (n + t) % kAddresses);
        std::memcpy(datagram.data(), &address, 4);
        switch (bwc_.Enqueue(datagram)) {
          case BWCController::EnqueueResult::kQueued:
            ++queued;
            break;
          case BWCController::EnqueueResult::kQueueFull:
            ++full;
            break;
          case BWCController::EnqueueResult::kNotConfigured:
            ++unplaced;
            break;
          case BWCController::EnqueueResult::kIgnored:
            ADD_FAILURE();
            break;
        }
      }
    });
  }
  std::atomic<bool> stepping{true};
  std::thread stepper([&] {
    while (stepping) clock_.RunFor(milliseconds(5));
  });
  // At least 300 rounds, and on until the sender has sent and a removal has discarded, however
  // the threads happen to be scheduled.
  const auto both_seen = [&] {
    std::lock_guard<std::mutex> guard(sent_mutex_);
    return !sent_.empty() && bwc_.discarded_datagrams() > 0;
  };
  for (int round = 0; round < 300 || (round < 1'000'000 && !both_seen()); ++round) {
    const uint32_t address = Ip(1 + round % kAddresses);
    switch (round % 6) {
      case 0:
        bwc_.RemoveAddress(address);
        bwc_.AddAddress(address, "A");
        break;
      case 1:
        bwc_.ChangeProfile("A", 7'000'000, 1'000'000 + round * 1000, 100'000);
        break;
      case 2:
        bwc_.ChangeAddress(address, round % 4 ? "A" : "B");
        break;
      case 3:
        bwc_.GetProfileStatistics();
        break;
      case 4:
        if (round % 60 == 4) {
          bwc_.Clear();
          configure();
        }
        break;
      case 5:
        bwc_.ChangeProfile("B", 7'000'000, 3'000'000 - round * 1000, 200'000);
        break;
    }
    std::this_thread::yield();
  }
  controlling = false;
  for (std::thread& source : sources) source.join();
  stepping = false;
  stepper.join();  // the sender stands still in a pause, no datagram in hand
  bwc_.Enable(false);
  uint64_t waiting = 0;
  for (int i = 1; i <= kAddresses; ++i) waiting += bwc_.Queue(Ip(i))->queued_packets;
  std::lock_guard<std::mutex> guard(sent_mutex_);
  EXPECT_GT(sent_.size(), 0u);
  EXPECT_GT(bwc_.discarded_datagrams(), 0u);
  EXPECT_EQ(sent_.size() + waiting + bwc_.discarded_datagrams(), queued.load());
  EXPECT_EQ(bwc_.unplaced_datagrams(), unplaced.load());
}

TEST_F(SchedulerTest, ALargerSummaryWaitsOnATie) {
  bwc_.SetPhysicalBandwidth(2'000'000);
  bwc_.AddProfile("Large", 1'500'000, 500'000, 100'000);
  bwc_.AddProfile("Small", 500'000, 500'000, 100'000);
  bwc_.AddAddress(Ip(1), "Large");  // first in address order
  bwc_.AddAddress(Ip(2), "Small");
  clock_.Advance(seconds(1));  // both meters read the same rate
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
  clock_.Advance(seconds(1));
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
  bwc_.AddAddress(Ip(2), "Top");
  clock_.Advance(milliseconds(270));
  Offer(Ip(1), 1, 506'250);  // 15,000,000 bit/s over the 270 ms since the queue began
  EXPECT_EQ(bwc_.PeekPacketLength(), 0u);
  EXPECT_TRUE(bwc_.PopPacket().empty());
  Offer(Ip(2), 1, 506'249);  // a byte less: just below
  EXPECT_EQ(bwc_.PeekPacketLength(), 506'249u);
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
  // The failures after the second line are logged a second after it: the counts add up.
  EXPECT_EQ(console_.Count("sendto() failed; 10065"), 3);
  bwc_.Enable(false);
  EXPECT_EQ(LoggedCount(" datagram(s) lost"), transmitter_->failed.load());
}

TEST_F(SchedulerTest, FailedSendsNotYetLoggedAreLoggedWhenSendingStops) {
  bwc_.SetPhysicalBandwidth(2'000'000);
  bwc_.AddProfile("A", 1'000'000, 1'000'000, 0);
  bwc_.AddAddress(Ip(1), "A");
  Offer(Ip(1), 300);
  transmitter_->fail_with = 10065;
  bwc_.Enable(true);
  clock_.RunTo(At(milliseconds(500)));
  EXPECT_EQ(console_.Count("sendto() failed; 10065"), 1);
  bwc_.Clear();
  EXPECT_EQ(console_.Count("sendto() failed; 10065"), 2);
  EXPECT_EQ(LoggedCount(" datagram(s) lost"), transmitter_->failed.load());
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

// An inserter datagram of an IPv6 frame to `destination`: its QoS IP is the destination's last
// four bytes, as the sources build it.
std::vector<uint8_t> Ipv6Datagram(const char* destination, size_t length = 1000) {
  const Ipv6Address address = *TextToIpv6(destination);
  std::vector<uint8_t> datagram(length, 0);
  std::copy_n(address.end() - 4, 4, datagram.begin());
  datagram[4] = datagram[7] = ',';
  datagram[8 + 12] = 0x86;
  datagram[8 + 13] = 0xdd;
  datagram[8 + 14] = 0x60;
  std::copy(address.begin(), address.end(), datagram.begin() + 8 + 14 + 24);
  return datagram;
}

// A source's batch is filed datagram by datagram as single ones are: each to its own queue in
// order, the short ones ignored, the rest without a queue counted and logged.
TEST_F(SchedulerTest, ABatchIsFiledAsItsDatagramsOneByOne) {
  bwc_.SetPhysicalBandwidth(2'000'000);
  bwc_.AddProfile("A", 1'000'000, 1'000'000, 0);
  bwc_.AddAddress(Ip(5), "A");
  const Ipv6Address v6 = *TextToIpv6("2001:db8::a00:6");
  bwc_.AddAddress(v6, "A");
  std::vector<std::vector<uint8_t>> batch;
  for (const size_t length : {700, 800}) {
    batch.emplace_back(length, 0x5a);
    const uint32_t address = Ip(5);
    std::memcpy(batch.back().data(), &address, 4);
  }
  batch.push_back(Ipv6Datagram("2001:db8::a00:6", 900));
  batch.emplace_back(3, 0);  // too short for a QoS IP
  batch.push_back(Ipv6Datagram("2001:db8::a00:7"));
  const std::vector<std::span<const uint8_t>> views(batch.begin(), batch.end());
  bwc_.Enqueue(views);
  EXPECT_EQ(bwc_.Queue(Ip(5))->queued_packets, 2u);
  EXPECT_EQ(bwc_.Queue(Ip(5))->queued_bytes, 1500u);
  EXPECT_EQ(bwc_.Queue(v6)->queued_bytes, 900u);
  EXPECT_EQ(bwc_.unplaced_datagrams(), 1u);
  EXPECT_TRUE(console_.Has("2001:db8::a00:7 - Not configured.; 1 datagram(s) without a queue"));
  bwc_.Enable(true);
  clock_.RunTo(At(milliseconds(100)));
  std::lock_guard<std::mutex> guard(sent_mutex_);
  ASSERT_EQ(sent_.size(), 3u);
  EXPECT_EQ(sent_[0].length, 700u);  // the address's order kept
  EXPECT_EQ(sent_[1].length + sent_[2].length, 800u + 900u);
}

TEST_F(SchedulerTest, Ipv6DatagramsGoToTheQueueOfTheirOwnAddressOnly) {
  const auto [v4, v6] = AddSiblings();
  using Result = BWCController::EnqueueResult;
  EXPECT_EQ(bwc_.Enqueue(Ipv6Datagram("2001:db8::a00:5")), Result::kQueued);
  EXPECT_EQ(bwc_.Enqueue(Ipv6Datagram("2001:db8::a00:5", 1200)), Result::kQueued);
  EXPECT_EQ(bwc_.Queue(v6)->queued_bytes, 2200u);
  // Another IPv6 host that shares those bytes has no queue: dropped, never the IPv4 host's.
  EXPECT_EQ(bwc_.Enqueue(Ipv6Datagram("2001:db8:1::a00:5")), Result::kNotConfigured);
  EXPECT_TRUE(console_.Has("2001:db8:1::a00:5 - Not configured.; 1 datagram(s) without a queue"));
  EXPECT_EQ(bwc_.Queue(v4)->queued_packets, 0u);
  // Too short to hold its destination.
  const std::vector<uint8_t> whole = Ipv6Datagram("2001:db8::a00:5");
  EXPECT_EQ(bwc_.Enqueue(std::span(whole).first(61)), Result::kIgnored);
  Offer(v4, 1, 900);
  EXPECT_EQ(bwc_.Queue(v4)->queued_bytes, 900u);
  // Both queues are served.
  bwc_.Enable(true);
  clock_.RunTo(At(seconds(1)));
  std::multiset<size_t> lengths;
  std::lock_guard<std::mutex> guard(sent_mutex_);
  for (const Sent& sent : sent_) lengths.insert(sent.length);
  EXPECT_EQ(lengths, (std::multiset<size_t>{900, 1000, 1200}));
}

TEST_F(SchedulerTest, FramesWhoseEtherTypeAndIpVersionDisagreeHaveNoQueue) {
  const auto [v4, v6] = AddSiblings();
  using Result = BWCController::EnqueueResult;
  std::vector<uint8_t> datagram = Ipv6Datagram("2001:db8::a00:5");
  datagram[8 + 12] = 0x08;  // EtherType IPv4, IPv6 packet
  datagram[8 + 13] = 0x00;
  EXPECT_EQ(bwc_.Enqueue(datagram), Result::kNotConfigured);
  EXPECT_TRUE(console_.Has(
      "10.0.0.5 - IP version does not match the EtherType.; 1 datagram(s) without a queue"));
  datagram[8 + 14] = 0x45;  // both IPv4
  EXPECT_EQ(bwc_.Enqueue(datagram), Result::kQueued);
  datagram[8 + 12] = 0x86;  // EtherType IPv6, IPv4 packet
  datagram[8 + 13] = 0xdd;
  EXPECT_EQ(bwc_.Enqueue(datagram), Result::kNotConfigured);
  datagram[8 + 14] = 0x60;  // both IPv6
  EXPECT_EQ(bwc_.Enqueue(datagram), Result::kQueued);
  datagram[8 + 12] = 0x08;  // another EtherType with an IPv6 packet
  datagram[8 + 13] = 0x06;
  EXPECT_EQ(bwc_.Enqueue(datagram), Result::kNotConfigured);
  datagram[8 + 14] = 0x45;  // other EtherTypes pass unexamined, by their QoS IP
  EXPECT_EQ(bwc_.Enqueue(datagram), Result::kQueued);
  EXPECT_EQ(bwc_.Queue(v4)->queued_packets, 2u);
  EXPECT_EQ(bwc_.Queue(v6)->queued_packets, 1u);
  EXPECT_EQ(bwc_.unplaced_datagrams(), 3u);
}

TEST_F(SchedulerTest, TheLastCountOfADropSeriesIsLoggedASecondLaterOrAtTheStop) {
  bwc_.SetPhysicalBandwidth(2'000'000);
  bwc_.Enable(true);  // the sender's polls log the count a second later
  clock_.RunTo(At(milliseconds(10)));
  Offer(Ip(7), 5);  // the first line at once, four waiting
  clock_.RunTo(At(milliseconds(500)));
  Offer(Ip(7), 3);
  EXPECT_EQ(console_.Count("without a queue dropped"), 1);
  clock_.RunTo(At(milliseconds(1020)));  // a second after the first line, without a new drop
  EXPECT_EQ(console_.Count("without a queue dropped"), 2);
  EXPECT_TRUE(console_.Has("10.0.0.7 - Not configured.; 7 datagram(s) without a queue dropped"));
  clock_.RunTo(At(milliseconds(1500)));
  Offer(Ip(8), 2);  // within the second after the last line: both wait for the stop
  bwc_.Clear();
  EXPECT_TRUE(console_.Has("10.0.0.8 - Not configured.; 2 datagram(s) without a queue dropped"));
  EXPECT_EQ(LoggedCount(" datagram(s) without a queue dropped"), 10);
  EXPECT_EQ(bwc_.unplaced_datagrams(), 10u);
}

// Without a socket the sender thread only idles, and time moves only as the test advances it.
TEST_F(SchedulerTest, TheLastCountOfADropSeriesIsLoggedASecondLaterWhileNothingCanBeSent) {
  bwc_.SetDestination(BWCSender::kNoDestination, 8000);
  bwc_.SetPhysicalBandwidth(2'000'000);
  bwc_.Enable(true);
  clock_.Advance(milliseconds(10));
  Offer(Ip(7), 5);  // the first line at once, four waiting
  clock_.Advance(milliseconds(490));
  Offer(Ip(7), 3);
  EXPECT_EQ(console_.Count("without a queue dropped"), 1);
  // A second after the first line at the earliest, without a new drop.
  EXPECT_TRUE(AdvanceUntil([&] { return console_.Count("without a queue dropped") == 2; }));
  EXPECT_TRUE(clock_.Now() >= At(milliseconds(1010)));
  EXPECT_TRUE(console_.Has("10.0.0.7 - Not configured.; 7 datagram(s) without a queue dropped"));
  Offer(Ip(8), 2);  // within the second after the last line: waits for the stop
  bwc_.Clear();
  EXPECT_TRUE(console_.Has("10.0.0.8 - Not configured.; 2 datagram(s) without a queue dropped"));
  // A drop after the stop's line is logged a second later all the same.
  Offer(Ip(9), 1);
  EXPECT_TRUE(AdvanceUntil([&] { return console_.Has("10.0.0.9 - Not configured.; 1 "); }));
  EXPECT_EQ(LoggedCount(" datagram(s) without a queue dropped"), 11);
  EXPECT_EQ(bwc_.unplaced_datagrams(), 11u);
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
