#include "packet/sending_thread.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <memory>

#include "packet/output_queue.h"
#include "platform/udp_socket.h"
#include "testing/list_console.h"
#include "testing/udp_peer.h"

namespace velmora {
namespace {

using Receiver = testing::UdpPeer;

std::vector<uint8_t> Bytes(std::string_view text) {
  return {text.begin(), text.end()};
}

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
  ASSERT_TRUE(queue_.Push(Bytes(first)));
  ASSERT_TRUE(queue_.Push(Bytes("ab")));
  EXPECT_EQ(inserter.Next(), first);
  EXPECT_EQ(inserter.Next(), "ab");
  Stop();
  EXPECT_TRUE(console_.Has("Packet sent: Len=17, PID=0x123"));
  EXPECT_TRUE(console_.Has("Packet sent: Len=2, PID=0x0"));
  EXPECT_TRUE(console_.Has("Sending thread exited."));
}

TEST_F(SendingThreadTest, AnAbsentInserterNeverEndsTheThread) {
  uint16_t port;
  {
    Receiver first;
    port = first.port();
  }  // the inserter goes away: the connected socket is refused
  Start(port);
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(queue_.Push(Bytes("lost")));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  while (queue_.size() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(console_.Has("Sending to the inserter failed: Connection refused"));
  Receiver back(port);  // the inserter comes back on its port
  std::string got;
  for (int i = 0; i < 50 && got != "again"; ++i) {
    ASSERT_TRUE(queue_.Push(Bytes("again")));
    got = back.Next();
  }
  EXPECT_EQ(got, "again");
  Stop();
  EXPECT_FALSE(console_.Has("Errorcode="));
}

// Sends refused by an inserter that is not there, pushed one by one so that the refusals of the
// system have time to come back; returns once the thread has taken them all.
void PushRefused(OutputQueue& queue, int count) {
  for (int i = 0; i < count; ++i) {
    ASSERT_TRUE(queue.Push(Bytes("lost")));
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

TEST_F(SendingThreadTest, AStopWithDatagramsStillQueuedEndsQuietly) {
  Receiver inserter;
  Start(inserter.port());
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(queue_.Push(Bytes("late")));
  running_ = 0;
  sending_->Wake();
  UdpSocket::CloseAll();  // as the service stop does, with datagrams still queued
  sending_->Join();
  EXPECT_FALSE(console_.Has("Errorcode="));
  EXPECT_TRUE(console_.Has("Sending thread exited."));
}

}  // namespace
}  // namespace velmora
