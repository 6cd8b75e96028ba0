// UDP datagrams on loopback, and the service stop's CloseAll.
#include "platform/udp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <future>
#include <string>
#include <vector>

#include "platform/receive_buffer.h"
#include "platform/socket_error.h"
#include "platform/udp_port.h"
#include "support/cerrorcode.h"
#include "testing/list_console.h"
#include "testing/udp_peer.h"

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

std::vector<std::string> Texts(DatagramBatch& batch) {
  std::vector<std::string> texts;
  for (size_t i = 0; i < batch.size(); ++i) {
    texts.emplace_back(reinterpret_cast<const char*>(batch[i].data()), batch[i].size());
  }
  return texts;
}

TEST_F(UdpSocketTest, ABatchKeepsOrderSkipsEmptyAndRefusesOversizedDatagrams) {
  const std::string largest(UdpSocket::kMaxDatagram, 'y');
  for (const std::string& datagram : {std::string("hello"), std::string(), std::string(20000, 'x'),
                                      largest, std::string("last")}) {
    ASSERT_EQ(sender_.SendTo(datagram), 0);
  }
  DatagramBatch batch(UdpSocket::kMaxDatagram);
  std::vector<std::string> received;
  while (received.empty() || received.back() != "last") {
    ASSERT_EQ(receiver_.ReceiveBatch(batch), 0);
    for (const std::string& text : Texts(batch)) received.push_back(text);
  }
  EXPECT_EQ(received, (std::vector<std::string>{"hello", largest, "last"}));
  EXPECT_EQ(batch.from(batch.size() - 1).sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(batch.from(batch.size() - 1).sin_port, htons(sender_.local_port()));
  EXPECT_TRUE(console_.Has("Datagram of 20000 bytes refused (over 16384)"));

  // Slots smaller than the largest datagram: the slot is the limit.
  DatagramBatch small(64);
  ASSERT_EQ(sender_.SendTo(std::string(100, 's')), 0);
  ASSERT_EQ(sender_.SendTo("fits"), 0);
  received.clear();
  while (received.empty()) {
    ASSERT_EQ(receiver_.ReceiveBatch(small), 0);
    for (const std::string& text : Texts(small)) received.push_back(text);
  }
  EXPECT_EQ(received, std::vector<std::string>{"fits"});
  EXPECT_TRUE(console_.Has("Datagram of 100 bytes refused (over 64)"));
}

TEST_F(UdpSocketTest, MoreThanABatchWaitingComesInBatchesInOrder) {
  const size_t total = kDatagramBatch + 36;
  for (size_t i = 0; i < total; ++i) ASSERT_EQ(sender_.SendTo(std::to_string(i)), 0);
  DatagramBatch batch(64);
  std::vector<std::string> all;
  while (all.size() < total) {
    ASSERT_EQ(receiver_.ReceiveBatch(batch), 0);
    ASSERT_LE(batch.size(), kDatagramBatch);
    for (const std::string& text : Texts(batch)) all.push_back(text);
  }
  for (size_t i = 0; i < total; ++i) EXPECT_EQ(all[i], std::to_string(i));
}

TEST_F(UdpSocketTest, ASentBatchArrivesWholeAndARefusingPeerIsReported) {
  sender_.Connect();
  const std::vector<std::string> texts = {"one", std::string(1400, 't'), "three"};
  std::vector<std::span<const uint8_t>> datagrams;
  for (const std::string& text : texts) {
    datagrams.emplace_back(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
  ASSERT_EQ(sender_.SendBatch(datagrams), 3u);
  DatagramBatch batch(2048);
  std::vector<std::string> received;
  while (received.size() < texts.size() && receiver_.ReceiveBatch(batch) == 0) {
    for (const std::string& text : Texts(batch)) received.push_back(text);
  }
  EXPECT_EQ(received, texts);

  UdpSocket to_nobody(log_);
  to_nobody.SetPeer(htonl(INADDR_LOOPBACK), testing::UdpPeer::FreePort());
  to_nobody.Connect();
  // The refusal of the first datagram comes back while the batch is under way. The system does
  // not report it to the datagram of the batch that meets it; that one goes once more alone, and
  // the refusal of the next one is reported.
  size_t sent = datagrams.size();
  for (int i = 0; i < 10 && sent == datagrams.size(); ++i) sent = to_nobody.SendBatch(datagrams);
  EXPECT_LT(sent, datagrams.size());
  EXPECT_EQ(to_nobody.send_error(), SocketErrorCode(ECONNREFUSED));
}

TEST_F(UdpSocketTest, TheReceiveBufferIsSizedForBursts) {
  log_.Configure({.level = 3});
  receiver_.SizeReceiveBuffer();
  int got = 0;
  socklen_t length = sizeof got;
  // A socket of the test: the receiver's number is its own.
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  const int asked = SizeReceiveBuffer(fd);
  ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &got, &length);
  ::close(fd);
  EXPECT_EQ(asked, got);
  if (::geteuid() == 0) {
    EXPECT_GE(got, kSourceReceiveBuffer);  // beyond the system's ceiling
  } else {
    EXPECT_GE(got, 65536);
  }
  EXPECT_TRUE(console_.Has(": receive buffer of " + std::to_string(got) + " bytes"));
}

TEST_F(UdpSocketTest, CloseAllEndsABlockedReceiveAndTouchesNothingElse) {
  int other[2];
  ASSERT_EQ(::pipe(other), 0);
  DatagramBatch batch(64);
  auto received = std::async(std::launch::async, [&] { return receiver_.ReceiveBatch(batch); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  {
    UdpSocket gone(log_);  // destroyed before CloseAll: no longer registered
  }
  UdpSocket::CloseAll();
  ASSERT_EQ(received.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(received.get(), -1);
  EXPECT_EQ(receiver_.ReceiveBatch(batch), -1);  // stays closed
  EXPECT_EQ(sender_.SendTo("late"), -1);
  // A thread that binds or connects only after the stop closed its socket is told it was
  // interrupted, which is no error to report.
  for (const auto& use :
       {std::function<void()>([&] { sender_.Connect(); }),
        std::function<void()>([&] { sender_.Bind(htonl(INADDR_LOOPBACK), 0); })}) {
    try {
      use();
      ADD_FAILURE() << "a closed socket was used";
    } catch (const cerrorcode& error) {
      EXPECT_EQ(error.code(), cerrorcode::kInterrupted);
    }
  }
  // Descriptors opened since and the pipe are untouched; a new socket works.
  EXPECT_NE(::fcntl(other[0], F_GETFD), -1);
  UdpSocket fresh(log_);
  fresh.Bind(htonl(INADDR_LOOPBACK), 0);
  UdpSocket to_fresh(log_);
  to_fresh.SetPeer(htonl(INADDR_LOOPBACK), fresh.local_port());
  ASSERT_EQ(to_fresh.SendTo("again"), 0);
  ASSERT_EQ(fresh.ReceiveBatch(batch), 0);
  EXPECT_EQ(Texts(batch), std::vector<std::string>{"again"});
  ::close(other[0]);
  ::close(other[1]);
}

// The L2TP server's port: what waits, without waiting; empty datagrams are handed on, longer ones
// than a slot are not.
TEST(UdpPortTest, ABatchTakesWhatWaitsWithoutWaiting) {
  UdpPort port;
  ASSERT_EQ(port.Bind(htonl(INADDR_LOOPBACK), 0), 0);
  DatagramBatch batch(4096);
  port.ReceiveBatch(batch);
  EXPECT_EQ(batch.size(), 0u);
  testing::UdpPeer peer;
  for (const std::string& datagram : {std::string("a"), std::string(), std::string(5000, 'x'),
                                      std::string(4096, 'y'), std::string("b")}) {
    peer.SendTo(port.local_port(), datagram);
  }
  std::vector<std::string> received;
  for (int i = 0; i < 100 && (received.empty() || received.back() != "b"); ++i) {
    ASSERT_EQ(port.WaitFor(std::chrono::seconds(5)), UdpPort::Wait::kReadable);
    port.ReceiveBatch(batch);
    for (const std::string& text : Texts(batch)) received.push_back(text);
  }
  EXPECT_EQ(received, (std::vector<std::string>{"a", "", std::string(4096, 'y'), "b"}));
  EXPECT_EQ(batch.from(batch.size() - 1).sin_port, htons(peer.port()));
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
