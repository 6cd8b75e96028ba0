#include "packet/transparent_port.h"

#include <gtest/gtest.h>

#include <array>
#include <future>
#include <memory>
#include <utility>
#include <vector>

#include "bandwidth/bwc_controller.h"
#include "packet/inserter_datagram.h"
#include "packet/output_queue.h"
#include "packet/packet_output.h"
#include "platform/file_system.h"
#include "stats/status_counters.h"
#include "stats/traffic_statistics.h"
#include "tables/network_tables.h"
#include "testing/inserter_datagrams.h"
#include "testing/list_console.h"
#include "testing/queue_access.h"
#include "testing/udp_peer.h"
#include "testing/velmora_process.h"

namespace velmora {
namespace {

using testing::AsText;
using testing::TransparentDatagram;

// The transparent port on a real loopback socket, with the queue read directly in place of the
// sending thread. A datagram popped from the queue also proves that every datagram sent before it
// was handled, since one thread handles them in order.
class TransparentPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_.SetConsoleTarget(&console_);
    log_.Configure({.level = 2});
    TableSnapshot tables;
    tables.InsertSubnet({.id = 1,
                         .IPSubNetAddr = DottedToAddress("10.0.0.0"),
                         .IPSubNetMask = DottedToAddress("255.0.0.0"),
                         .IPSubNetPID = 0x0123});
    tables.InsertIpMacRow({.address = DottedToAddress("10.0.0.5"),
                           .mac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55},
                           .subnet = 1});
    tables.InsertIpv6Subnet({.id = 3, .Alias = "v6", .IPSubNetPID = 0x0456});
    tables.InsertIpv6MacRow({.address = *TextToIpv6("2001:db8::a0b:c0d"),
                             .address_text = "2001:db8::a0b:c0d",
                             .mac = {0x00, 0x66, 0x66, 0x66, 0x66, 0x66},
                             .subnet = 3});
    tables_.Publish(std::move(tables));
    statistics_.SetFile("stat.log");
    queue_.Resume();  // as the sending thread's start does
  }
  void TearDown() override { Stop(); }

  void Start(int level = 2) {
    log_.Configure({.level = level});
    port_ = testing::UdpPeer::FreePort();
    source_ = std::make_unique<TransparentPort>(
        path_, TransparentPort::Settings{enable_, port_},
        [](const Ipv6Address&, const MacAddress&) { return false; });
    source_->Launch();
    // The thread binds the port; a datagram sent before that is lost, so probe until one arrives.
    std::string probe = AsText(TransparentDatagram("10.1.1.1", 0, 0));
    for (int i = 0; i < 200 && queue_.size() == 0; ++i) {
      sender_.SendTo(port_, probe);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    reader_.Drain();
    counters_.Reset();
    statistics_.ResetAll();
    console_.Clear();
  }
  void Stop() {
    if (!source_) return;
    running_ = 0;
    queue_.Stop();
    UdpSocket::CloseAll();
    source_->Join();
    source_.reset();
  }
  std::string Pop() { return reader_.Next(); }
  // Sends `datagram` and then a marker that passes; returns what reached the queue before it.
  std::string SendAndPop(const std::vector<uint8_t>& datagram) {
    sender_.SendTo(port_, AsText(datagram));
    return Pop();
  }
  // Fills the queue and one more datagram, so that the port's thread waits for room and what is
  // sent next waits in the socket, to be received in one batch. The fillers pass through to
  // 10.2.2.2.
  void HoldThePort() {
    const std::string filler = AsText(TransparentDatagram("10.2.2.2", 0, 0));
    for (size_t i = 0; i <= OutputQueue::kSlots; ++i) sender_.SendTo(port_, filler);
    ASSERT_TRUE(testing::WaitFor([this] { return queue_.size() == OutputQueue::kSlots; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // Takes what the held port handed over: the fillers, then everything after them.
  std::vector<std::string> ReleaseThePort(size_t after_fillers) {
    std::vector<std::string> out;
    for (size_t i = 0; i < OutputQueue::kSlots + 1 + after_fillers; ++i) out.push_back(Pop());
    return {out.begin() + OutputQueue::kSlots + 1, out.end()};
  }
  void SendRefused(const std::vector<uint8_t>& datagram) {
    sender_.SendTo(port_, AsText(datagram));
    const std::vector<uint8_t> marker = TransparentDatagram("10.2.2.2", 0, 0);
    sender_.SendTo(port_, AsText(marker));
    std::string marker_out = AsText(marker);
    std::copy_n("\x0a\x02\x02\x02", 4, marker_out.begin());
    EXPECT_EQ(Pop(), marker_out);
  }

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
  SourceSettings settings_;
  PacketPath path_{
      log_, tables_, counters_, statistics_, output_, running_, [this] { return settings_; }};
  SharedNumber<int32_t> enable_{1};
  SharedNumber<uint16_t> port_{0};
  testing::UdpPeer sender_;
  std::unique_ptr<TransparentPort> source_;
};

TEST_F(TransparentPortTest, AResolvedIpv4DatagramIsCountedAndHandedOver) {
  Start();
  std::vector<uint8_t> in = TransparentDatagram("10.0.0.5", 0x0200, 0);
  std::vector<uint8_t> expected = in;
  std::copy_n("\x0a\x00\x00\x05", 4, expected.begin());
  expected[5] = 0x01;
  expected[6] = 0x23;
  std::copy_n("\x00\x11\x22\x33\x44\x55", 6, expected.begin() + 8);
  EXPECT_EQ(SendAndPop(in), AsText(expected));
  EXPECT_EQ(counters_.unicast_packets, 1u);
  EXPECT_EQ(counters_.unicast_bytes, 100u - 42);
  EXPECT_EQ(counters_.resolved_packets, 1u);
  EXPECT_EQ(counters_.unicast_frames, 0u);
  EXPECT_TRUE(counters_.internal_active);
  const auto stats = statistics_.Address(DottedToAddress("10.0.0.5"));
  ASSERT_TRUE(stats);
  EXPECT_EQ(stats->packets, 1u);
  EXPECT_EQ(stats->bytes, 100u - 42);
}

TEST_F(TransparentPortTest, WhileShapingRunsDatagramsGoToTheQueueOfTheirAddress) {
  Start();
  bandwidth_.SetPhysicalBandwidth(2'000'000);
  bandwidth_.AddProfile("P", 1'000'000, 1'000'000, 0);
  bandwidth_.AddAddress(DottedToAddress("10.0.0.5"), "P");
  bandwidth_running_ = true;
  sender_.SendTo(port_, AsText(TransparentDatagram("10.0.0.5", 0x0200, 0)));
  sender_.SendTo(port_, AsText(TransparentDatagram("10.9.9.9", 0, 0)));  // no queue of its own
  for (int i = 0; i < 500 && bandwidth_.unplaced_datagrams() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(bandwidth_.Queue(DottedToAddress("10.0.0.5"))->queued_bytes, 100u);
  EXPECT_EQ(bandwidth_.unplaced_datagrams(), 1u);
  EXPECT_EQ(queue_.size(), 0u);
  bandwidth_running_ = false;
}

TEST_F(TransparentPortTest, PassedThroughDatagramsCountOnlyInTheStatistics) {
  Start();
  std::vector<uint8_t> in = TransparentDatagram("10.0.0.5", 0, 0);
  std::vector<uint8_t> expected = in;
  std::copy_n("\x0a\x00\x00\x05", 4, expected.begin());
  EXPECT_EQ(SendAndPop(in), AsText(expected));
  std::vector<uint8_t> v6 = TransparentDatagram("2001:db8::1", 0, 0, 100, true);
  EXPECT_EQ(SendAndPop(v6), AsText(v6));  // unchanged, even without a row
  EXPECT_EQ(counters_.unicast_packets, 0u);
  EXPECT_EQ(counters_.unicast_bytes, 0u);
  EXPECT_EQ(counters_.resolved_packets, 0u);
  EXPECT_EQ(counters_.unicast_frames, 0u);
  EXPECT_EQ(statistics_.Address(DottedToAddress("10.0.0.5"))->bytes, 100u - 42);
  EXPECT_TRUE(counters_.internal_active);
}

TEST_F(TransparentPortTest, AResolvedIpv6DatagramCountsAFrameAndItsPayload) {
  Start();
  std::vector<uint8_t> in = TransparentDatagram("2001:db8::a0b:c0d", 1, 1, 120, true);
  const std::string out = SendAndPop(in);
  ASSERT_EQ(out.size(), in.size());
  EXPECT_EQ(out.substr(0, 8), std::string("\x0a\x0b\x0c\x0d,\x04\x56,", 8));
  EXPECT_EQ(out.substr(8, 6), std::string(6, '\x66').replace(0, 1, 1, '\0'));
  EXPECT_EQ(counters_.unicast_bytes, 120u - 62);
  EXPECT_EQ(counters_.unicast_frames, 1u);
  EXPECT_EQ(counters_.unicast_packets, 0u);
  EXPECT_EQ(counters_.resolved_packets, 1u);
  for (const auto& [address, stats] : statistics_.Addresses()) EXPECT_EQ(stats.packets, 0u);
}

TEST_F(TransparentPortTest, RefusedDatagramsGiveTheirMessagesAndCounters) {
  Start();
  SendRefused(TransparentDatagram("10.0.0.5", 1, 1, 4073));
  EXPECT_TRUE(console_.Has("Transparent. Get packet with length more maximum (4073)."));
  EXPECT_TRUE(counters_.internal_warning);
  auto bad = TransparentDatagram("10.0.0.5", 1, 1);
  bad[7] = ';';
  SendRefused(bad);
  EXPECT_TRUE(console_.Has("Transparent. Bad QoS header"));
  auto arp = TransparentDatagram("10.0.0.5", 1, 1);
  arp[22] = 0x00;
  SendRefused(arp);
  EXPECT_TRUE(console_.Has("Transparent. Bad IP packet"));
  SendRefused(TransparentDatagram("2001:db8::a0b:c0e", 1, 1, 100, true));
  EXPECT_TRUE(console_.Has("Ip6 Transparent. Can't define PID."));
  SendRefused(TransparentDatagram("11.0.0.1", 1, 1));
  EXPECT_TRUE(console_.Has("Transparent. Unresolved PID"));
  EXPECT_TRUE(console_.Has("IPsrc=90.90.90.90; IPdst=11.0.0.1"));
  EXPECT_EQ(counters_.resolution_failures, 2u);
  SendRefused(TransparentDatagram("10.0.0.6", 1, 1));  // no IP/MAC row on DVB
  EXPECT_TRUE(console_.Has("Transparent. Unresolved MAC"));
  EXPECT_EQ(counters_.resolved_packets, 1u);  // its PID was found
  EXPECT_EQ(counters_.unicast_packets, 0u);
  EXPECT_TRUE(statistics_.Address(DottedToAddress("10.0.0.6")) == std::nullopt);
  EXPECT_EQ(counters_.unicast_packets, 0u);
}

TEST_F(TransparentPortTest, DatagramsShorterThanTheirHeadersAreRefused) {
  Start();
  const std::vector<uint8_t> v4 = TransparentDatagram("10.0.0.5", 1, 1);
  const std::vector<uint8_t> v6 = TransparentDatagram("2001:db8::a0b:c0d", 1, 1, 100, true);
  for (ptrdiff_t length = 0; length < 62; ++length) {
    if (length < 42) SendRefused({v4.begin(), v4.begin() + length});
    SendRefused({v6.begin(), v6.begin() + length});
    if (length == 7) {  // the console keeps only the latest lines
      EXPECT_TRUE(console_.Has("Transparent. Bad QoS header"));
      EXPECT_FALSE(console_.Has("Transparent. Bad IP packet"));
    }
  }
  EXPECT_EQ(counters_.unicast_packets, 0u);
  EXPECT_EQ(counters_.unicast_frames, 0u);
  EXPECT_EQ(counters_.resolved_packets, 0u);
  EXPECT_TRUE(console_.Has("Transparent. Bad IP packet"));
  EXPECT_FALSE(console_.Has("Unresolved"));
  EXPECT_FALSE(console_.Has("Can't define PID"));
}

TEST_F(TransparentPortTest, LevelThreeTracesTheDatagramAsReceived) {
  Start(3);
  SendAndPop(TransparentDatagram("10.0.0.5", 0x0200, 0));
  EXPECT_TRUE(console_.Has("Transparent packet. QoS IP=9.9.9.9. QoS PID=0x200"));
  EXPECT_TRUE(console_.Has("Transparent. --------------------------"));
  EXPECT_TRUE(console_.Has("    MACdst=00:00:00:00:00:00"));
  EXPECT_TRUE(console_.Has("UDP: Len=23130"));
}

TEST_F(TransparentPortTest, TheTrafficLimitDropsSilently) {
  settings_ = {.dvb = true, .traffic_control = true, .traffic_limit = 1000};
  Start();
  counters_.multicast_bytes = 1000;
  for (int i = 0; i < 5; ++i) sender_.SendTo(port_, AsText(TransparentDatagram("10.0.0.5", 1, 1)));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(queue_.size(), 0u);
  counters_.multicast_bytes = 0;  // the console's next refresh
  const std::vector<uint8_t> next = TransparentDatagram("10.0.0.5", 0, 0);
  const std::string out = SendAndPop(next);
  EXPECT_EQ(out.size(), next.size());
  EXPECT_EQ(static_cast<uint8_t>(out[5]), 0);  // the passed-through one, not the first
  EXPECT_EQ(console_.Count(), 0);
}

// A full queue holds the port without losing anything, and a burst that waited meanwhile is
// received at once yet handled one by one: order, counters, statistics and messages as for
// datagrams that come one at a time.
TEST_F(TransparentPortTest, ABurstBehindAFullQueueIsHandledAsOneByOne) {
  Start();
  HoldThePort();
  auto bad_qos = TransparentDatagram("10.0.0.5", 1, 1);
  bad_qos[7] = ';';
  const std::vector<std::vector<uint8_t>> burst = {
      TransparentDatagram("10.0.0.5", 1, 1),
      bad_qos,
      TransparentDatagram("2001:db8::a0b:c0d", 1, 1, 120, true),
      TransparentDatagram("11.0.0.1", 1, 1),
      TransparentDatagram("10.0.0.5", 1, 1, 200),
  };
  for (const auto& datagram : burst) sender_.SendTo(port_, AsText(datagram));
  const std::vector<std::string> out = ReleaseThePort(3);
  EXPECT_EQ(out[0].size(), 100u);
  EXPECT_EQ(out[1].size(), 120u);
  EXPECT_EQ(out[1].substr(0, 4), "\x0a\x0b\x0c\x0d");  // the IPv6 datagram, rebuilt
  EXPECT_EQ(out[2].size(), 200u);
  for (const size_t i : {0, 2}) {
    EXPECT_EQ(out[i].substr(8, 6), std::string("\x00\x11\x22\x33\x44\x55", 6));
  }
  EXPECT_FALSE(reader_.Waiting());
  EXPECT_EQ(counters_.unicast_packets, 2u);
  EXPECT_EQ(counters_.unicast_bytes, 100u - 42 + 200 - 42 + 120 - 62);
  EXPECT_EQ(counters_.unicast_frames, 1u);
  EXPECT_EQ(counters_.resolved_packets, 3u);
  EXPECT_EQ(counters_.resolution_failures, 1u);
  EXPECT_EQ(statistics_.Address(DottedToAddress("10.0.0.5"))->packets, 2u);
  EXPECT_EQ(statistics_.Address(DottedToAddress("10.2.2.2"))->packets, OutputQueue::kSlots + 1);
  EXPECT_EQ(console_.Count("Transparent. Bad QoS header"), 1);
  EXPECT_EQ(console_.Count("Transparent. Unresolved PID"), 1);
}

// The limit is checked before each datagram of a burst, against the bytes counted up to it.
TEST_F(TransparentPortTest, TheTrafficLimitCutsABurstWhereItIsReached) {
  settings_ = {.dvb = true, .traffic_control = true, .traffic_limit = 1000};
  Start();
  HoldThePort();
  for (int i = 0; i < 30; ++i) sender_.SendTo(port_, AsText(TransparentDatagram("10.0.0.5", 1, 1)));
  const std::vector<std::string> out = ReleaseThePort(18);
  EXPECT_EQ(counters_.unicast_packets, 18u);  // 17 * 58 bytes are under the limit, 18 are not
  EXPECT_EQ(counters_.unicast_bytes, 18u * 58);
  EXPECT_EQ(out.back().substr(0, 4), std::string("\x0a\x00\x00\x05", 4));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(reader_.Waiting());
}

TEST_F(TransparentPortTest, OtherTypeChannelsGetTheFixedMac) {
  settings_.dvb = false;
  Start();
  const std::string out = SendAndPop(TransparentDatagram("10.0.0.77", 1, 1));
  EXPECT_EQ(out.substr(8, 6), std::string("\x00\x09\xb8\x0b\x02\x00", 6));
}

TEST_F(TransparentPortTest, EachIpv6RowIsOfferedToTheTapDriverAtStart) {
  Start();
  Stop();
  EXPECT_EQ(console_.Count(), 0);  // cleared after the start
  source_ = std::make_unique<TransparentPort>(
      path_, TransparentPort::Settings{enable_, port_},
      [](const Ipv6Address&, const MacAddress&) { return false; });
  running_ = 1;
  queue_.Resume();
  source_->Launch();
  Stop();
  EXPECT_TRUE(console_.Has("Failed to add IPV6 address: 2001:db8::a0b:c0d"));
}

TEST_F(TransparentPortTest, TheTapDriverGetsTheRowsMacOnDvbAndTheFixedMacOtherwise) {
  for (const bool dvb : {true, false}) {
    settings_.dvb = dvb;
    std::vector<std::pair<std::string, MacAddress>> offered;
    running_ = 1;
    queue_.Resume();
    source_ = std::make_unique<TransparentPort>(
        path_, TransparentPort::Settings{enable_, port_},
        [&offered](const Ipv6Address& address, const MacAddress& mac) {
          offered.emplace_back(Ipv6ToText(address), mac);
          return true;
        });
    source_->Launch();
    Stop();
    const MacAddress expected = dvb ? MacAddress{0x00, 0x66, 0x66, 0x66, 0x66, 0x66} : kFixedMac;
    ASSERT_EQ(offered.size(), 1u);
    EXPECT_EQ(offered[0].first, "2001:db8::a0b:c0d");
    EXPECT_EQ(offered[0].second, expected);
  }
  EXPECT_FALSE(console_.Has("Failed to add IPV6 address"));
}

TEST_F(TransparentPortTest, APortInUseEndsTheThreadWithItsErrorCode) {
  testing::UdpPeer holder;
  const SharedNumber<uint16_t> taken{holder.port()};
  source_ =
      std::make_unique<TransparentPort>(path_, TransparentPort::Settings{enable_, taken},
                                        [](const Ipv6Address&, const MacAddress&) { return true; });
  source_->Launch();
  source_->Join();  // ends by itself
  EXPECT_TRUE(console_.Has("Errorcode=10037: Address already in use"));
  source_.reset();
}

TEST_F(TransparentPortTest, AStopBeforeTheThreadBindsEndsItQuietly) {
  std::promise<void> stopped;
  std::shared_future<void> stop_done = stopped.get_future().share();
  // The thread offers the IPv6 rows before it binds: hold it there until the stop is done.
  source_ = std::make_unique<TransparentPort>(path_, TransparentPort::Settings{enable_, port_},
                                              [stop_done](const Ipv6Address&, const MacAddress&) {
                                                stop_done.wait();
                                                return true;
                                              });
  source_->Launch();
  running_ = 0;
  queue_.Stop();
  UdpSocket::CloseAll();
  stopped.set_value();
  source_->Join();
  source_.reset();
  EXPECT_FALSE(console_.Has("Error 10037 - port already in use"));
  EXPECT_FALSE(console_.Has("Errorcode="));
}

}  // namespace
}  // namespace velmora
