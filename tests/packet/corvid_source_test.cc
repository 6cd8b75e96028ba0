#include "packet/corvid_source.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "packet/adapter_routes.h"
#include "packet/inserter_datagram.h"
#include "packet/output_queue.h"
#include "platform/address_text.h"
#include "platform/corvid_driver.h"
#include "platform/network_links.h"
#include "testing/adapter_namespace.h"
#include "testing/bytes.h"
#include "testing/corvid_frames.h"
#include "testing/network_namespace.h"
#include "testing/packet_path_rig.h"
#include "testing/source_run.h"
#include "testing/udp_peer.h"

namespace velmora {
namespace {

using testing::Hex;
using testing::NetworkNamespace;

using testing::AdapterNamespaceTest;
using testing::Eventually;
using testing::kAdapterAlias;
using testing::kPatience;
// What comes before a UDP payload at the inserter: the QoS header, Ethernet, IPv4 and UDP.
constexpr size_t kDatagramHeader = 8 + 14 + 20 + 8;

// --- The source: its two threads between the adapter and a real UDP receiver for the inserter.

// Route management as far as these tests need it: the subnet's route through the adapter.
class SubnetRoute : public AdapterRoutes {
 public:
  explicit SubnetRoute(const NetworkNamespace& ns) : ns_(ns) {}
  bool ProbeCorvidAdapter() override {
    ++probes;
    return found && ns_.Run("ip route add 10.1.0.0/16 dev corvid0") == 0;
  }
  void RemoveCorvidRoutes() override {
    ++removals;
    ns_.Run("ip route del 10.1.0.0/16 dev corvid0 2>/dev/null");
  }
  bool found = true;
  std::atomic<int> probes{0};
  std::atomic<int> removals{0};

 private:
  const NetworkNamespace& ns_;
};

class CorvidSourceTest : public AdapterNamespaceTest {
 protected:
  void SetUp() override {
    AdapterNamespaceTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    rig_.running = 0;
    rig_.log.Configure({.level = 3});
    rig_.tables.Publish(testing::SubnetWithOneRow());
    inserter_ = std::make_unique<testing::UdpPeer>();
    routes_ = std::make_unique<SubnetRoute>(*namespace_);
    source_ = std::make_unique<CorvidSource>(
        rig_.path, *routes_, CorvidSource::Settings{enable_, inserter_ip_, kAdapterAlias},
        rig_.clock);
    run_ = std::make_unique<testing::SourceRun>(rig_, *source_, inserter_->port());
  }
  void TearDown() override {
    run_.reset();
    source_.reset();
    inserter_.reset();
    AdapterNamespaceTest::TearDown();
  }
  void Start() { run_->Start(); }
  void Stop() { run_->Stop(); }
  // The datagram expected at the inserter for `payload` sent to 10.1.0.5:`port`, from its QoS
  // header to the UDP ports; the identification and checksum, which the kernel chooses, are
  // taken from what arrived.
  std::string Expected(const std::string& arrived, const std::string& mac, uint16_t port,
                       const std::string& payload) {
    const MacAddress adapter = AdapterMac();
    std::string expected = "0a0100052c01232c" + mac + Hex(adapter) + "0800";
    const size_t total = 20 + 8 + payload.size();
    char header[64];
    std::snprintf(header, sizeof header, "4500%04zx", total);
    expected += header + arrived.substr(16 + 28 + 8, 4) + "0000" + "4011";
    expected += arrived.substr(16 + 28 + 20, 4) + "c0a8fe01" + "0a010005";
    expected += arrived.substr(16 + 28 + 40, 4);  // the source port the system chose
    std::snprintf(header, sizeof header, "%04x%04zx", port, 8 + payload.size());
    expected += header + arrived.substr(16 + 28 + 52, 4);
    return expected + Hex(testing::AsBytes(payload));
  }
  std::string Next() { return Hex(testing::AsBytes(inserter_->Next())); }
  // Waits for `message` and the dump that follows it, of a UDP datagram to `destination`:5000
  // whose payload bytes are `data`, and no more; the line logged just before the message.
  std::string ExpectDumpAfter(const std::string& message, const std::string& destination,
                              const std::string& data) {
    const std::string data_line_end = "Data[10]=" + data;
    EXPECT_TRUE(Eventually([&] { return rig_.console.Has(data_line_end); }));
    const std::vector<std::string>& lines = rig_.console.entries;
    const auto at = std::find(lines.begin(), lines.end(), message);
    if (at == lines.begin() || lines.end() - at < 5) {
      ADD_FAILURE() << message << " and its dump were not logged";
      return {};
    }
    EXPECT_EQ(at[3], "IPsrc=192.168.254.1; IPdst=" + destination);
    EXPECT_TRUE(at[4].starts_with("UDP: Len=" + std::to_string(8 + data.size() / 3)));
    EXPECT_NE(at[4].find(", DstP=5000, "), std::string::npos);
    EXPECT_TRUE(at[4].ends_with(data_line_end));
    return at[-1];
  }

  testing::PacketPathRig rig_;
  SharedNumber<int32_t> enable_{1};
  SharedNumber<uint32_t> inserter_ip_{DottedToAddress("127.0.0.1")};
  std::unique_ptr<testing::UdpPeer> inserter_;
  std::unique_ptr<SubnetRoute> routes_;
  std::unique_ptr<CorvidSource> source_;
  std::unique_ptr<testing::SourceRun> run_;
};

TEST_F(CorvidSourceTest, TheKernelsArpRequestIsAnsweredAndTheDatagramReachesTheInserter) {
  AskOnce();
  Start();
  ASSERT_TRUE(source_->open());
  const std::string payload = "routed into the subnet";
  sender_->Send("10.1.0.5", 5000, payload);
  const std::string arrived = Next();
  EXPECT_EQ(arrived, Expected(arrived, "001122334455", 5000, payload));
  EXPECT_EQ(Run("ip neigh show 10.1.0.5 dev corvid0 | grep -q 00:11:22:33:44:55"), 0);
  EXPECT_TRUE(Eventually([&] { return rig_.counters.arp_answers != 0; }));
  EXPECT_EQ(rig_.counters.arp_requests, 1u);
  EXPECT_EQ(rig_.counters.arp_answers, 1u);
  EXPECT_EQ(rig_.counters.unicast_packets, 1u);
  EXPECT_EQ(rig_.counters.resolved_packets, 1u);
  EXPECT_EQ(rig_.counters.unicast_frames, 1u);
  EXPECT_EQ(rig_.counters.unicast_bytes, 8u + payload.size());
  EXPECT_TRUE(rig_.counters.routed_active);
  EXPECT_TRUE(rig_.console.Has("Arp. Resolved. IPsrc=10.1.0.5, IPdst=192.168.254.1"));
  EXPECT_TRUE(rig_.console.Has("Corvid. --------------------------"));
  const auto stats = rig_.statistics.Address(DottedToAddress("10.1.0.5"));
  ASSERT_TRUE(stats);
  EXPECT_EQ(stats->bytes, 8u + payload.size());
}

TEST_F(CorvidSourceTest, OnADabChannelTheFixedMacAnswers) {
  rig_.settings.dvb = false;
  Start();
  sender_->Send("10.1.0.5", 5000, "dab");
  const std::string arrived = Next();
  EXPECT_EQ(arrived, Expected(arrived, "0009b80b0200", 5000, "dab"));
  EXPECT_EQ(Run("ip neigh show 10.1.0.5 dev corvid0 | grep -q 00:09:b8:0b:02:00"), 0);
}

TEST_F(CorvidSourceTest, LowPortsAreFilteredAndHostsWithoutRowUnanswered) {
  rig_.log.Configure({.level = 2});
  Start();
  sender_->Send("10.1.0.6", 5000, "nobody");
  sender_->Send("10.1.0.5", 53, "low port");
  sender_->Send("10.1.0.5", 256, "port 256");
  const std::string arrived = Next();
  EXPECT_EQ(arrived, Expected(arrived, "001122334455", 256, "port 256"));
  EXPECT_TRUE(Eventually([&] {
    return rig_.console.Has("Arp. Not found destination IP. IPsrc=192.168.254.1, IPdst=10.1.0.6");
  }));
  EXPECT_EQ(rig_.counters.unicast_packets, 1u);
}

TEST_F(CorvidSourceTest, FramesTooLongAreLoggedAndDroppedWhole) {
  rig_.log.Configure({.level = 1});
  ASSERT_EQ(Run("ip link set corvid0 mtu 20000"), 0);
  Start();
  sender_->Send("10.1.0.5", 5000, "first");
  Next();
  sender_->Send("10.1.0.5", 5000, std::string(17000, 'x'));
  sender_->Send("10.1.0.5", 5000, std::string(5000, 'y'));
  sender_->Send("10.1.0.5", 5000, "after");
  const std::string arrived = Next();
  EXPECT_EQ(arrived, Expected(arrived, "001122334455", 5000, "after"));
  EXPECT_TRUE(rig_.console.Has("Corvid. Frame of 17042 bytes longer than 16384 bytes dropped."));
  EXPECT_TRUE(rig_.console.Has(
      "Corvid. 5042-byte frame; 1 frame(s) longer than an output queue slot dropped."));
  EXPECT_EQ(rig_.counters.bad_packets, 1u);
  // The frame too long for the output queue was handed over as far as the counters know.
  constexpr uint32_t kPassedOn = 8 + 5 + 8 + 5000 + 8 + 5;
  EXPECT_EQ(rig_.counters.unicast_packets, 3u);
  EXPECT_EQ(rig_.counters.unicast_frames, 3u);
  EXPECT_EQ(rig_.counters.unicast_bytes, kPassedOn);
  EXPECT_TRUE(rig_.counters.routed_active);
  const auto stats = rig_.statistics.Address(DottedToAddress("10.1.0.5"));
  ASSERT_TRUE(stats);
  EXPECT_EQ(stats->bytes, kPassedOn);
}

TEST_F(CorvidSourceTest, AnAddressThisHostGainsAfterTheStartIsNotAnsweredFor) {
  AskOnce();
  Start();
  // 10.1.0.5, which has a row, becomes an address of this host on another device; without its
  // local route the kernel still asks for it on the adapter.
  ASSERT_EQ(Run("ip link add corvidv type veth peer name corvidw && ip link set corvidv up && "
                "ip addr add 10.1.0.5/32 dev corvidv && ip route del local 10.1.0.5 table local"),
            0);
  sender_->Send("10.1.0.5", 5000, "to this host");
  EXPECT_TRUE(Eventually([&] {
    return rig_.console.Has("Arp. Own address of this host. IPsrc=192.168.254.1, IPdst=10.1.0.5");
  }));
  EXPECT_EQ(rig_.counters.arp_requests, 1u);
  EXPECT_EQ(rig_.counters.arp_answers, 0u);
  EXPECT_NE(Run("ip neigh show 10.1.0.5 dev corvid0 | grep -q 00:11:22:33:44:55"), 0);
}

TEST_F(CorvidSourceTest, TheTrafficLimitDropsFramesUntilTheNextInterval) {
  rig_.settings.traffic_control = true;
  rig_.settings.traffic_limit = 20;
  Start();
  // 11 bytes each: the second frame passes below the limit and reaches it.
  sender_->Send("10.1.0.5", 5000, "one");
  sender_->Send("10.1.0.5", 5000, "two");
  sender_->Send("10.1.0.5", 5000, "six");
  EXPECT_EQ(inserter_->Next().substr(kDatagramHeader), "one");
  EXPECT_EQ(inserter_->Next().substr(kDatagramHeader), "two");
  inserter_->set_timeout(std::chrono::milliseconds(300));
  EXPECT_EQ(inserter_->Next(), "<nothing>");
  EXPECT_EQ(rig_.counters.unicast_packets, 2u);
  EXPECT_EQ(rig_.counters.unicast_bytes, 22u);
  // The console's refresh starts a new interval.
  rig_.counters.unicast_bytes = 0;
  inserter_->set_timeout(kPatience);
  sender_->Send("10.1.0.5", 5000, "ten");
  EXPECT_EQ(inserter_->Next().substr(kDatagramHeader), "ten");
}

TEST_F(CorvidSourceTest, UnresolvedFramesAreLoggedWithTheirReceivedBytesAndCounted) {
  Start();
  // 10.2.0.9 is in no subnet; 10.1.0.6 is in one but has no row. Neither is asked for.
  ASSERT_EQ(Run("ip route add 10.2.0.0/16 dev corvid0 && "
                "ip neigh replace 10.2.0.9 lladdr 02:00:00:00:00:09 dev corvid0 nud permanent && "
                "ip neigh replace 10.1.0.6 lladdr 02:00:00:00:00:06 dev corvid0 nud permanent"),
            0);
  sender_->Send("10.2.0.9", 5000, "abc");
  ExpectDumpAfter("Corvid. Unresolved PID.", "10.2.0.9", " 61 62 63");
  EXPECT_EQ(rig_.counters.resolution_failures, 1u);
  EXPECT_EQ(rig_.counters.resolved_packets, 0u);
  sender_->Send("10.1.0.6", 5000, "de");
  EXPECT_EQ(ExpectDumpAfter("Corvid. Unresolved MAC.", "10.1.0.6", " 64 65"),
            "Can't define MAC address");
  EXPECT_EQ(rig_.counters.resolved_packets, 1u);
  EXPECT_EQ(rig_.counters.resolution_failures, 1u);
  EXPECT_EQ(rig_.counters.unicast_packets, 2u);
  EXPECT_EQ(rig_.counters.unicast_frames, 0u);
  EXPECT_EQ(rig_.counters.unicast_bytes, 0u);
  EXPECT_FALSE(rig_.counters.routed_active);
}

TEST_F(CorvidSourceTest, AMulticastDatagramGoesOutWithItsGroupsMacAndIsCountedApart) {
  TableSnapshot tables = testing::SubnetWithOneRow();
  tables.InsertSubnet({.id = 2,
                       .IPSubNetAddr = DottedToAddress("239.1.0.0"),
                       .IPSubNetMask = DottedToAddress("255.255.0.0"),
                       .IPSubNetPID = 0x0456});
  rig_.tables.Publish(tables);
  Start();
  ASSERT_EQ(Run("ip route add 239.1.0.0/16 dev corvid0"), 0);
  const std::string payload = "to the group";
  sender_->Send("239.1.2.3", 5000, payload);
  const std::string arrived = Next();
  EXPECT_EQ(arrived.substr(0, 16), "ef0102032c04562c");
  EXPECT_EQ(arrived.substr(16, 12), "01005e010203");
  EXPECT_EQ(arrived.substr(16 + 60, 8), "ef010203");
  EXPECT_EQ(arrived.substr(arrived.size() - 2 * payload.size()), Hex(testing::AsBytes(payload)));
  EXPECT_EQ(rig_.counters.multicast_packets, 1u);
  EXPECT_EQ(rig_.counters.multicast_frames, 1u);
  EXPECT_EQ(rig_.counters.multicast_bytes, 8u + payload.size());
  EXPECT_EQ(rig_.counters.unicast_packets, 0u);
  EXPECT_EQ(rig_.counters.unicast_frames, 0u);
  EXPECT_EQ(rig_.counters.arp_requests, 0u);
  EXPECT_TRUE(rig_.counters.routed_active);
}

TEST_F(CorvidSourceTest, TheStopEndsTheThreadsClosesTheDriverAndRemovesTheRoutes) {
  Start();
  sender_->Send("10.1.0.5", 5000, "one");
  Next();
  Stop();
  EXPECT_EQ(source_->driver().handle(), -1);
  EXPECT_EQ(routes_->removals, 1);
  EXPECT_NE(Run("ip route show 10.1.0.0/16 | grep -q corvid0"), 0);
  // The next start finds everything as it was.
  Start();
  sender_->Send("10.1.0.5", 5000, "two");
  const std::string arrived = Next();
  EXPECT_EQ(arrived, Expected(arrived, "001122334455", 5000, "two"));
}

TEST_F(CorvidSourceTest, BurstsLongerThanABatchArriveWholeAndInOrder) {
  ASSERT_EQ(Run("ip link set corvid0 txqueuelen 1000 && ip neigh replace 10.1.0.5 lladdr "
                "00:11:22:33:44:55 dev corvid0 nud permanent"),
            0);
  inserter_->WidenReceiveBuffer();
  Start();
  constexpr int kBurst = 300;
  for (int i = 0; i < kBurst; ++i) sender_->Send("10.1.0.5", 5000, "burst " + std::to_string(i));
  for (int i = 0; i < kBurst; ++i) {
    const std::string arrived = inserter_->Next();
    ASSERT_TRUE(arrived.ends_with("burst " + std::to_string(i))) << i << ": " << arrived;
  }
  EXPECT_EQ(rig_.counters.unicast_frames, static_cast<uint32_t>(kBurst));
}

TEST_F(CorvidSourceTest, AnAdapterRemovedWhileRunningEndsBothThreadsOnce) {
  Start();
  ASSERT_EQ(Run(std::string(CORVID_ADAPTER_SCRIPT) + " remove >/dev/null"), 0);
  EXPECT_TRUE(Eventually([&] { return rig_.console.Count("Errorcode=") == 2; })) << [&] {
    std::string all;
    for (const std::string& line : rig_.console.entries) all += line + "\n";
    return all;
  }();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(rig_.console.Count("Errorcode="), 2);
  EXPECT_EQ(rig_.console.Count("Cannot read Arp frame"), 0);
  const auto stop_start = std::chrono::steady_clock::now();
  Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - stop_start, kPatience);
}

TEST_F(CorvidSourceTest, AnAbsentAdapterIsReportedAndNothingRuns) {
  ASSERT_EQ(Run(std::string(CORVID_ADAPTER_SCRIPT) + " remove >/dev/null"), 0);
  Start();
  EXPECT_FALSE(source_->open());
  EXPECT_TRUE(
      rig_.console.Has("Cannot find \"Tessaro Corvid Emulation Driver\" on this system. Check "
                       "if this driver installed and active."));
  EXPECT_EQ(routes_->probes, 0);
  Stop();
  EXPECT_EQ(routes_->removals, 0);
}

TEST_F(CorvidSourceTest, AFailedProbeDisablesTheSource) {
  routes_->found = false;
  Start();
  EXPECT_FALSE(source_->open());
  EXPECT_TRUE(rig_.console.Has("Cannot properly set \"Tessaro Corvid Emulation Driver\". "));
  EXPECT_TRUE(rig_.console.Has("Corvid driver is disable."));
  Stop();
  EXPECT_EQ(source_->driver().handle(), -1);
}

}  // namespace
}  // namespace velmora
