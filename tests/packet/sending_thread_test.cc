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
  void Start(uint16_t port) {
    sending_ = std::make_unique<SendingThread>(
        queue_, log_, RealClock(), running_,
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
