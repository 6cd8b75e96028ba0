#include "packet/sending_thread.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "packet/output_queue.h"
#include "platform/udp_socket.h"
#include "testing/list_console.h"
#include "testing/queue_access.h"
#include "testing/udp_peer.h"

namespace velmora {
namespace {

using Receiver = testing::UdpPeer;
using testing::PushText;

class SendingThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_.SetConsoleTarget(&console_);
    log_.Configure({.level = 3});
  }
  void Start(uint16_t port, Clock& clock = RealClock()) {
    sending_ = std::make_unique<SendingThread>(
        queue_, log_, clock, running_,
        [port] {
          return InserterAddress{htonl(INADDR_LOOPBACK), port};
        },
        [] { return true; });
    sending_->Launch();
  }
  void Stop() {
    running_ = 0;
    sending_->Wake();
    sending_->Join();
  }

  Log log_;
  testing::ListConsole console_;
  OutputQueue queue_;
  SharedNumber<int32_t> running_{1};
  std::unique_ptr<SendingThread> sending_;
};

TEST_F(SendingThreadTest, DeliversInOrderByteForByteAndEndsAtTheStop) {
  Receiver inserter;
  Start(inserter.port());
  const std::string first("\x0a\x00\x00\x05,\x01\x23,frame one", 17);
  ASSERT_TRUE(PushText(queue_, first));
  ASSERT_TRUE(PushText(queue_, "ab"));
  EXPECT_EQ(inserter.Next(), first);
  EXPECT_EQ(inserter.Next(), "ab");
  Stop();
  EXPECT_TRUE(console_.Has("Packet sent: Len=17, PID=0x123"));
  EXPECT_TRUE(console_.Has("Packet sent: Len=2, PID=0x0"));
  EXPECT_TRUE(console_.Has("Sending thread exited."));
}

// Bursts larger than a send batch and than the queue: every datagram arrives, byte for byte and
// in order, while the source waits for room. The source stays at most two bursts ahead of the
// receiver, so that the receiver's buffer holds what is in flight.
TEST_F(SendingThreadTest, BurstsGoOutWholeAndInOrder) {
  log_.Configure({.level = 2});
  Receiver inserter;
  inserter.WidenReceiveBuffer();
  Start(inserter.port());
  constexpr size_t kTotal = 1000, kBurst = 100;
  std::vector<std::string> sent;
  for (size_t i = 0; i < kTotal; ++i) sent.push_back(std::to_string(i) + std::string(i % 300, 'd'));
  std::atomic<size_t> received{0};
  std::thread source([&] {
    for (size_t first = 0; first < kTotal; first += kBurst) {
      while (received + 2 * kBurst < first + kBurst) std::this_thread::yield();
      std::vector<std::span<const uint8_t>> burst;
      for (size_t i = first; i < first + kBurst; ++i) {
        burst.emplace_back(reinterpret_cast<const uint8_t*>(sent[i].data()), sent[i].size());
      }
      EXPECT_EQ(queue_.Push(burst), burst.size());
    }
  });
  for (; received < kTotal; ++received) ASSERT_EQ(inserter.Next(), sent[received]) << received;
  source.join();
  Stop();
  EXPECT_FALSE(console_.Has("dropped"));
}

TEST_F(SendingThreadTest, AnAbsentInserterNeverEndsTheThread) {
  uint16_t port;
  {
    Receiver first;
    port = first.port();
  }  // the inserter goes away: the connected socket is refused
  Start(port);
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(PushText(queue_, "lost"));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  while (queue_.size() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(console_.Has("Sending to the inserter failed: Connection refused"));
  EXPECT_GT(queue_.dropped(), 0u);  // each refused send counts as the queue's drop
  Receiver back(port);              // the inserter comes back on its port
  std::string got;
  for (int i = 0; i < 50 && got != "again"; ++i) {
    ASSERT_TRUE(PushText(queue_, "again"));
    got = back.Next();
  }
  EXPECT_EQ(got, "again");
  Stop();
  EXPECT_FALSE(console_.Has("Errorcode="));
}

// Without the inserter, a burst meets the refusals of its own first datagrams: they are reported
// and counted as with single datagrams.
TEST_F(SendingThreadTest, RefusalsInsideABurstAreReported) {
  log_.Configure({.level = 2});
  uint16_t port;
  {
    Receiver gone;
    port = gone.port();
  }
  Start(port);
  std::vector<std::string> burst(100, "lost in a burst");
  const std::vector<std::span<const uint8_t>> views(
      burst.size(), {reinterpret_cast<const uint8_t*>(burst[0].data()), burst[0].size()});
  ASSERT_EQ(queue_.Push(views), views.size());
  while (queue_.size() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  Stop();
  EXPECT_TRUE(console_.Has("Sending to the inserter failed: Connection refused"));
}

// Sends refused by an inserter that is not there, pushed one by one so that the refusals of the
// system have time to come back; returns once the thread has taken them all.
void PushRefused(OutputQueue& queue, int count) {
  for (int i = 0; i < count; ++i) {
    ASSERT_TRUE(PushText(queue, "lost"));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  while (queue.size() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

TEST_F(SendingThreadTest, TheLastDropsOfASeriesAreLoggedASecondLaterAndAtTheStop) {
  log_.Configure({.level = 2});
  constexpr const char* kDropped = "datagram(s) dropped";
  uint16_t port;
  {
    Receiver gone;
    port = gone.port();
  }
  SimulatedClock clock;
  Start(port, clock);
  PushRefused(queue_, 20);
  EXPECT_EQ(console_.Count(kDropped), 1);  // the first drop; the rest wait for their second
  for (int i = 0; i < 500 && console_.Count(kDropped) == 1; ++i) {
    clock.Advance(std::chrono::milliseconds(100));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(console_.Count(kDropped), 2);
  PushRefused(queue_, 20);
  EXPECT_EQ(console_.Count(kDropped), 2);  // within a second of the last line
  Stop();
  ASSERT_EQ(console_.Count(kDropped), 3);
  ASSERT_GE(console_.entries.size(), 2u);
  EXPECT_NE(console_.entries.end()[-2].find(kDropped), std::string::npos);  // before the exit
  EXPECT_NE(console_.entries.back().find("Sending thread exited."), std::string::npos);
}

// A console that holds the thread logging its first entry with `text` until Release: the
// sending thread stops between taking a datagram and sending it.
class HoldingConsole : public testing::ListConsole {
 public:
  explicit HoldingConsole(std::string text) : text_(std::move(text)) {}
  void AddEntry(std::string_view line) override {
    ListConsole::AddEntry(line);
    if (held_ || line.find(text_) == std::string_view::npos) return;
    held_ = true;
    reached_.count_down();
    released_.wait();
  }
  void WaitUntilHeld() { reached_.wait(); }
  void Release() { released_.count_down(); }
  // Where the first entry with `text` from `from` on is; entries.size() if none.
  size_t Find(std::string_view text, size_t from = 0) const {
    size_t i = from;
    while (i < entries.size() && entries[i].find(text) == std::string::npos) ++i;
    return i;
  }

 private:
  const std::string text_;
  bool held_ = false;  // sending thread only
  std::latch reached_{1};
  std::latch released_{1};
};

// The inserter is back and the queue never empties: the drops still waiting are logged a second
// after the last one, before the next datagram goes out.
TEST_F(SendingThreadTest, TheLastDropsAreLoggedWhileTheQueueKeepsDelivering) {
  constexpr const char* kDropped = "datagram(s) dropped";
  HoldingConsole console("Packet sent: Len=10");
  log_.SetConsoleTarget(&console);
  uint16_t port;
  {
    Receiver gone;
    port = gone.port();
  }
  SimulatedClock clock;
  Start(port, clock);
  PushRefused(queue_, 20);
  ASSERT_EQ(console.Count(kDropped), 1);  // the first drop; the rest wait for their second
  Receiver back(port);  // the socket may still report a refusal on the first sends
  std::string got;
  for (int i = 0; i < 50 && got != "again"; ++i) {
    ASSERT_TRUE(PushText(queue_, "again"));
    got = back.Next();
  }
  ASSERT_EQ(got, "again");
  ASSERT_TRUE(PushText(queue_, "first back"));
  console.WaitUntilHeld();
  ASSERT_TRUE(PushText(queue_, "x"));
  ASSERT_TRUE(PushText(queue_, "yy"));
  clock.Advance(std::chrono::seconds(2));
  console.Release();
  EXPECT_EQ(back.Next(), "first back");
  EXPECT_EQ(back.Next(), "x");
  EXPECT_EQ(back.Next(), "yy");
  Stop();
  ASSERT_EQ(console.Count(kDropped), 2);
  const size_t last_drops = console.Find(kDropped, console.Find(kDropped) + 1);
  EXPECT_LT(console.Find("Packet sent: Len=10,"), last_drops);
  EXPECT_LT(last_drops, console.Find("Packet sent: Len=1,"));
}

TEST_F(SendingThreadTest, AStopWithDatagramsStillQueuedEndsQuietly) {
  Receiver inserter;
  Start(inserter.port());
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(PushText(queue_, "late"));
  running_ = 0;
  sending_->Wake();
  UdpSocket::CloseAll();  // as the service stop does, with datagrams still queued
  sending_->Join();
  EXPECT_FALSE(console_.Has("Errorcode="));
  EXPECT_TRUE(console_.Has("Sending thread exited."));
}

}  // namespace
}  // namespace velmora
