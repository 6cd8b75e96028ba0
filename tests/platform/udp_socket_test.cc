// UDP datagrams on loopback, and the service stop's CloseAll.
#include "platform/udp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <future>

#include "support/cerrorcode.h"
#include "testing/list_console.h"

namespace velmora {
namespace {

class UdpSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_.SetConsoleTarget(&console_);
    receiver_.Bind(htonl(INADDR_LOOPBACK), 0);
    sender_.SetPeer(htonl(INADDR_LOOPBACK), receiver_.local_port());
  }
  Log log_;
  testing::ListConsole console_;
  UdpSocket receiver_{log_};
  UdpSocket sender_{log_};
};

TEST_F(UdpSocketTest, DatagramsEmptyOnesAndOversizedOnes) {
  DatagramBuffer data;
  ASSERT_EQ(sender_.SendTo("hello"), 0);
  EXPECT_EQ(receiver_.Receive(data), 0);
  EXPECT_EQ(data.text(), "hello");
  EXPECT_EQ(receiver_.peer().sin_addr.s_addr, htonl(INADDR_LOOPBACK));

  ASSERT_EQ(sender_.SendTo(""), 0);
  EXPECT_EQ(receiver_.Receive(data), cerrorcode::kEmptyDatagram);
  EXPECT_EQ(data.size(), 0u);

  ASSERT_EQ(sender_.SendTo(std::string(20000, 'x')), 0);
  EXPECT_EQ(receiver_.Receive(data), -1);  // never handed on cut short
  EXPECT_EQ(data.size(), 0u);
  EXPECT_TRUE(console_.Has("Datagram of 20000 bytes refused"));

  ASSERT_EQ(sender_.SendTo(std::string(UdpSocket::kMaxDatagram, 'y')), 0);
  EXPECT_EQ(receiver_.Receive(data), 0);
  EXPECT_EQ(data.size(), UdpSocket::kMaxDatagram);
}

TEST_F(UdpSocketTest, CloseAllEndsABlockedReceiveAndTouchesNothingElse) {
  int other[2];
  ASSERT_EQ(::pipe(other), 0);
  auto received = std::async(std::launch::async, [this] {
    DatagramBuffer data;
    return receiver_.Receive(data);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  {
    UdpSocket gone(log_);  // destroyed before CloseAll: no longer registered
  }
  UdpSocket::CloseAll();
  ASSERT_EQ(received.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(received.get(), -1);
  DatagramBuffer data;
  EXPECT_EQ(receiver_.Receive(data), -1);  // stays closed
  EXPECT_EQ(sender_.SendTo("late"), -1);
  // Descriptors opened since and the pipe are untouched; a new socket works.
  EXPECT_NE(::fcntl(other[0], F_GETFD), -1);
  UdpSocket fresh(log_);
  fresh.Bind(htonl(INADDR_LOOPBACK), 0);
  UdpSocket to_fresh(log_);
  to_fresh.SetPeer(htonl(INADDR_LOOPBACK), fresh.local_port());
  ASSERT_EQ(to_fresh.SendTo("again"), 0);
  EXPECT_EQ(fresh.Receive(data), 0);
  EXPECT_EQ(data.text(), "again");
  ::close(other[0]);
  ::close(other[1]);
}

TEST_F(UdpSocketTest, JoinAndLeaveAGroupOnLoopback) {
  UdpSocket member(log_);
  member.AllowAddressReuse();
  member.Bind(0);
  const uint32_t group = inet_addr("239.1.2.3");
  member.Join(group, htonl(INADDR_LOOPBACK));
  member.Leave(group, htonl(INADDR_LOOPBACK));
  EXPECT_THROW(member.Leave(group, htonl(INADDR_LOOPBACK)), cerrorcode);
  EXPECT_TRUE(console_.Has("Disjoin error "));
}

}  // namespace
}  // namespace velmora
