#include "packet/l2tp_link.h"

#include <gtest/gtest.h>

#include <array>

#include "bandwidth/bwc_controller.h"
#include "l2tp/cl2tp.h"
#include "packet/output_queue.h"
#include "packet/packet_output.h"
#include "packet/sending_thread.h"
#include "platform/file_system.h"
#include "platform/udp_socket.h"
#include "stats/status_counters.h"
#include "stats/traffic_statistics.h"
#include "support/operator_prompt.h"
#include "tables/l2tp_peer_list.h"
#include "tables/l2tp_user_list.h"
#include "testing/inserter_datagrams.h"
#include "testing/list_console.h"
#include "testing/ppp_client.h"
#include "testing/queue_access.h"
#include "testing/udp_peer.h"
#include "testing/velmora_process.h"

namespace velmora {
namespace {

using testing::AsText;

// A packet as the LNS delivers it: the 22-byte header and an IPv4 packet to `destination` of
// `size` bytes in all, its total length `size` - 22 unless given.
std::vector<uint8_t> Delivered(const char* destination, size_t size = 100, int total = -1) {
  std::vector<uint8_t> d =
      testing::TransparentDatagram(destination, 5, 0x02, std::max<size_t>(size, 42));
  d[0] = 127, d[1] = 0, d[2] = 0, d[3] = 1;
  std::fill(d.begin() + 14, d.begin() + 20, 0x02);
  d[20] = 0x08, d[21] = 0x00;
  const size_t length = total < 0 ? size - 22 : static_cast<size_t>(total);
  d[24] = static_cast<uint8_t>(length >> 8), d[25] = static_cast<uint8_t>(length);
  d.resize(size);
  return d;
}

// The link's packet function called directly, as the LNS thread calls it, with the output queue
// read in place of the sending thread.
class L2tpLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_.SetConsoleTarget(&console_);
    log_.Configure({.level = 2});
    TableSnapshot tables;
    tables.InsertSubnet({.id = 1,
                         .IPSubNetAddr = DottedToAddress("10.0.0.0"),
                         .IPSubNetMask = DottedToAddress("255.0.0.0"),
                         .IPSubNetPID = 0x0123});
    tables.InsertSubnet({.id = 2,
                         .IPSubNetAddr = DottedToAddress("239.0.0.0"),
                         .IPSubNetMask = DottedToAddress("255.0.0.0"),
                         .IPSubNetPID = 0x0300});
    tables.InsertIpMacRow({.address = DottedToAddress("10.0.0.5"),
                           .mac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55},
                           .subnet = 1});
    tables_.Publish(std::move(tables));
    statistics_.SetFile("stat.log");
    queue_.Resume();  // as the sending thread's start does
  }
  // One packet as a burst of its own.
  void Deliver(const std::vector<uint8_t>& packet) {
    link_.L2tpPacket(packet.data(), static_cast<uint32_t>(packet.size()));
    link_.DeliverBatch();
  }
  std::string Pop() { return reader_.Waiting() ? reader_.Next() : "<empty>"; }

  Log log_;
  testing::ListConsole console_;
  SimulatedClock clock_;
  MemoryFileSystem files_;
  NetworkTables tables_;
  StatusCounters counters_;
  TrafficStatistics statistics_{files_, clock_, log_, 0};
  OutputQueue queue_;
  testing::QueueReader reader_{queue_};
  TessaroBWControl::BWCController bandwidth_{clock_, log_};
  std::atomic<bool> bandwidth_running_{false};
  PacketOutput output_{queue_, bandwidth_, bandwidth_running_};
  SharedNumber<int32_t> running_{1};
  SourceSettings settings_{.dvb = false};
  PacketPath path_{
      log_, tables_, counters_, statistics_, output_, running_, [this] { return settings_; }};
  SharedNumber<int32_t> enable_{1}, port_{testing::UdpPeer::FreePort()}, pool_size_{4}, level_{1};
  SharedNumber<uint32_t> pool_start_{DottedToAddress("10.9.0.1")};
  L2tpUserList users_{log_};
  L2tpPeerList peers_{log_};
  l2tp::CL2tp server_{RealClock()};  // its stop ends the tunnels of real users in real time
  L2tpLink link_{path_, server_, {enable_, port_, pool_start_, pool_size_, level_, users_, peers_}};
};

TEST_F(L2tpLinkTest, UnicastAndMulticastPacketsAreResolvedCountedAndHandedOver) {
  std::vector<uint8_t> expected = Delivered("10.0.0.5");
  Deliver(expected);
  std::copy_n("\x0a\x00\x00\x05", 4, expected.begin());
  expected[5] = 0x01, expected[6] = 0x23;
  std::copy_n("\x00\x11\x22\x33\x44\x55", 6, expected.begin() + 8);
  EXPECT_EQ(Pop(), AsText(expected));  // on DAB too: the row's MAC
  EXPECT_EQ(counters_.unicast_packets, 1u);
  EXPECT_EQ(counters_.unicast_bytes, 100u - 42);
  EXPECT_EQ(counters_.resolved_packets, 1u);
  const auto stats = statistics_.Address(DottedToAddress("10.0.0.5"));
  ASSERT_TRUE(stats);
  EXPECT_EQ(stats->bytes, 100u - 42);

  expected = Delivered("239.1.2.3", 300);
  Deliver(expected);
  std::copy_n("\xef\x01\x02\x03", 4, expected.begin());
  expected[5] = 0x03, expected[6] = 0x00;
  std::copy_n("\x00\x09\xb8\x0b\x02\x00", 6, expected.begin() + 8);
  EXPECT_EQ(Pop(), AsText(expected));
  EXPECT_EQ(counters_.multicast_packets, 1u);
  EXPECT_EQ(counters_.multicast_bytes, 300u - 42);
}

// The packets of a read burst wait in the link until its end and then go on together, in order;
// a burst longer than a batch goes on a batch at a time. The server's buffer is reused between
// calls, as the server does.
TEST_F(L2tpLinkTest, ABurstGoesOnAtItsEndInOrder) {
  constexpr size_t kBurst = kDatagramBatch + 6;
  std::vector<uint8_t> buffer;
  for (size_t i = 0; i < kBurst; ++i) {
    buffer = Delivered("10.0.0.5", 60 + i);
    if (i == 3) buffer[7] = '.';  // refused in the middle of the burst
    link_.L2tpPacket(buffer.data(), static_cast<uint32_t>(buffer.size()));
    std::fill(buffer.begin(), buffer.end(), 0xee);
  }
  EXPECT_EQ(queue_.size(), kDatagramBatch);  // the first full batch went on
  link_.DeliverBatch();
  for (size_t i = 0; i < kBurst; ++i) {
    if (i == 3) continue;
    EXPECT_EQ(Pop().size(), 60 + i);
  }
  EXPECT_EQ(Pop(), "<empty>");
  EXPECT_EQ(counters_.unicast_packets, kBurst - 1);
  EXPECT_EQ(statistics_.Address(DottedToAddress("10.0.0.5"))->packets, kBurst - 1);
}

// The longest packet the server delivers (a whole datagram's payload behind the header) is
// resolved and counted like any other; the output queue then drops it, being over its slots.
TEST_F(L2tpLinkTest, TheLongestDeliveredPacketIsCountedAndHandedOver) {
  const std::vector<uint8_t> longest = Delivered("10.0.0.5", l2tp::kMaxDeliveredPacket - 8);
  Deliver(longest);
  EXPECT_EQ(counters_.unicast_packets, 1u);
  EXPECT_EQ(counters_.bad_packets, 0u);
  EXPECT_EQ(console_.Count(), 0);
  EXPECT_EQ(Pop(), "<empty>");
}

TEST_F(L2tpLinkTest, RefusedPacketsAreLoggedCountedAndDropped) {
  std::vector<uint8_t> no_dots = Delivered("10.0.0.5");
  no_dots[7] = '.';
  Deliver(no_dots);
  EXPECT_EQ(console_.Count("L2TP. Bad QoS header(not found dots)."), 1);
  std::vector<uint8_t> v6 = Delivered("10.0.0.5");
  v6[22] = 0x65;
  Deliver(v6);
  EXPECT_EQ(console_.Count("L2TP. Bad IP packet(version isn't 4)"), 1);
  Deliver(Delivered("11.0.0.1"));
  EXPECT_EQ(console_.Count("L2TP. Unresolved PID"), 1);
  EXPECT_EQ(counters_.resolution_failures, 1u);
  Deliver(Delivered("10.0.0.6"));
  EXPECT_EQ(console_.Count("L2TP. Can't define MAC address"), 1);
  EXPECT_EQ(counters_.resolved_packets, 1u);
  // Shorter than the headers, and an IPv4 length past what was delivered.
  Deliver(Delivered("10.0.0.5", 41));
  Deliver(Delivered("10.0.0.5", 100, 79));
  Deliver({});
  EXPECT_EQ(counters_.bad_packets, 3u);
  EXPECT_EQ(console_.Count("L2TP. Bad packet length"), 3);
  EXPECT_EQ(queue_.size(), 0u);
  EXPECT_EQ(counters_.unicast_packets + counters_.multicast_packets, 0u);
  EXPECT_EQ(counters_.unicast_bytes + counters_.multicast_bytes, 0u);
}

TEST_F(L2tpLinkTest, TraceAtLevelThreeAndSilenceAtLevelOne) {
  log_.Configure({.level = 3});
  Deliver(Delivered("10.0.0.5"));
  EXPECT_EQ(console_.Count("L2TP. ------------------------------------"), 1);
  EXPECT_EQ(console_.Count("L2TP. SendDst=00:11:22:33:44:55"), 1);
  log_.Configure({.level = 1});
  console_.Clear();
  Deliver(Delivered("10.0.0.6"));
  Deliver(Delivered("10.0.0.5", 30));
  EXPECT_EQ(console_.Count("L2TP."), 0);
}

TEST_F(L2tpLinkTest, OverTheTrafficLimitNothingIsTaken) {
  settings_.traffic_control = true;
  settings_.traffic_limit = 10;
  counters_.unicast_bytes = 100;
  link_.Launch();  // takes the settings of the run
  Deliver(Delivered("10.0.0.5"));
  EXPECT_EQ(queue_.size(), 0u);
  EXPECT_EQ(counters_.resolved_packets, 0u);
  link_.Close();
  link_.Join();
}

TEST_F(L2tpLinkTest, EachStartHandsTheServerTheRoutersUsersAndPeers) {
  LoggingPrompt prompt(log_);
  users_.ReadLine("ann=secret");
  users_.ReadLine("bob=pw");
  peers_.ReadLine("127.0.0.1");
  ASSERT_TRUE(link_.StartL2tpLink());
  EXPECT_TRUE(server_.IsRunning());
  EXPECT_EQ(server_.port(), port_.get());
  EXPECT_EQ(server_.FindUser("bob")->password, "pw");
  EXPECT_TRUE(server_.FindPeer(DottedToAddress("127.0.0.1")));
  link_.Close();
  link_.Join();
  EXPECT_FALSE(server_.IsRunning());

  users_.Remove("bob", prompt);
  ASSERT_TRUE(link_.StartL2tpLink());
  EXPECT_FALSE(server_.FindUser("bob"));  // removed on the settings pages: gone
  EXPECT_TRUE(server_.FindUser("ann"));
  link_.Close();
  link_.Join();
  EXPECT_NE(console_.Count("L2tp LNS server started"), 0);
}

// A user sends while the service stops: the sending thread has ended, the server still delivers
// until it is closed. Nothing of that reaches the inserter, at the next start either.
TEST_F(L2tpLinkTest, AUserSendingAcrossAStopAndStartSendsNothingOfTheOldRunInTheNew) {
  if (!testing::PppClientAvailable()) {
    GTEST_SKIP() << "needs python3-scapy (scripts/install-deps installs it)";
  }
  users_.ReadLine("ann=secret");
  peers_.ReadLine("127.0.0.1");
  testing::UdpPeer inserter;
  SendingThread sending(
      queue_, log_, RealClock(), running_,
      [&inserter] {
        return InserterAddress{htonl(INADDR_LOOPBACK), inserter.port()};
      },
      [] { return true; });
  sending.Launch();
  ASSERT_TRUE(link_.StartL2tpLink());
  // The stop, as far as the sending thread: flag, wake, sockets closed, joined.
  running_ = 0;
  sending.Wake();
  UdpSocket::CloseAll();
  sending.Join();
  const std::string old_run =
      testing::RunPppClient(static_cast<uint16_t>(port_.get()),
                            "--send-to 10.0.0.5:5000 --packets 5 --size 60 --seconds 5");
  ASSERT_NE(old_run.find("sent 5"), std::string::npos) << old_run;
  ASSERT_TRUE(testing::WaitFor([&] { return counters_.resolved_packets == 5; }));
  link_.Close();
  link_.Join();

  running_ = 1;
  sending.Launch();
  ASSERT_TRUE(link_.StartL2tpLink());
  const std::string new_run =
      testing::RunPppClient(static_cast<uint16_t>(port_.get()),
                            "--send-to 10.0.0.5:5000 --packets 1 --size 80 --seconds 5");
  ASSERT_NE(new_run.find("sent 1"), std::string::npos) << new_run;
  EXPECT_EQ(inserter.Next().size(), 22u + 20 + 8 + 80);  // the new run's packet comes first
  running_ = 0;
  sending.Wake();
  UdpSocket::CloseAll();
  link_.Close();
  sending.Join();
  link_.Join();
}

}  // namespace
}  // namespace velmora
