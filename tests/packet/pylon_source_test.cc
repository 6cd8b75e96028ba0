#include "packet/pylon_source.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/address_text.h"
#include "tables/source_filter_list.h"
#include "testing/adapter_namespace.h"
#include "testing/bytes.h"
#include "testing/packet_path_rig.h"
#include "testing/source_run.h"
#include "testing/tap_pair.h"
#include "testing/udp_peer.h"

namespace velmora {
namespace {

using testing::Eventually;
using testing::Hex;

// --- The filter slots, recorded.

using SlotCalls = std::vector<std::pair<size_t, uint32_t>>;

struct RecordedSlots {
  SlotCalls filters;
  SlotCalls sources;
  PylonFilterSetters setters() {
    return {.set_filter = [this](size_t s, uint32_t a) { filters.emplace_back(s, a); },
            .set_source_filter = [this](size_t s, uint32_t a) { sources.emplace_back(s, a); }};
  }
};

std::vector<uint32_t> Addresses(std::initializer_list<const char*> texts) {
  std::vector<uint32_t> addresses;
  for (const char* text : texts) addresses.push_back(DottedToAddress(text));
  return addresses;
}

TEST(PylonFilterSlotsTest, FiveSourceFiltersTakeSlotsZeroToFour) {
  RecordedSlots slots;
  const auto sources = Addresses({"1.0.0.1", "1.0.0.2", "1.0.0.3", "1.0.0.4", "1.0.0.5"});
  WritePylonFilters({}, sources, slots.setters());
  ASSERT_EQ(slots.sources.size(), 5u);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(slots.sources[i], std::pair(i, sources[i]));
  EXPECT_EQ(slots.filters, (SlotCalls{{0, 0}, {1, 0}, {2, 0}, {3, 0}}));
}

TEST(PylonFilterSlotsTest, TwoSourceFiltersClearSlotsTwoAndThree) {
  RecordedSlots slots;
  const auto sources = Addresses({"1.0.0.1", "1.0.0.2"});
  WritePylonFilters({}, sources, slots.setters());
  EXPECT_EQ(slots.sources, (SlotCalls{{0, sources[0]}, {1, sources[1]}, {2, 0}, {3, 0}}));
}

TEST(PylonFilterSlotsTest, ShorterListsClearEverySlotALongerOneUsed) {
  RecordedSlots slots;
  const auto six = Addresses({"1.0.0.1", "1.0.0.2", "1.0.0.3", "1.0.0.4", "1.0.0.5", "1.0.0.6"});
  EXPECT_EQ(WritePylonFilters({}, six, slots.setters()), 6u);
  slots.sources.clear();
  // Emptied: every host is admitted again, so no slot may keep an address.
  EXPECT_EQ(WritePylonFilters({}, {}, slots.setters(), 6), 0u);
  EXPECT_EQ(slots.sources, (SlotCalls{{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}}));
}

TEST(PylonFilterSlotsTest, ADeselectedLocalAddressLeavesNoGap) {
  RecordedSlots slots;
  const auto a = Addresses({"10.0.0.1", "10.0.0.2", "10.0.0.3"});
  const std::vector<LocalFilterAddress> locals = {{a[0], true}, {a[1], false}, {a[2], true}};
  WritePylonFilters(locals, {}, slots.setters());
  EXPECT_EQ(slots.filters, (SlotCalls{{0, a[0]}, {1, a[2]}, {2, 0}, {3, 0}}));
  EXPECT_EQ(slots.sources, (SlotCalls{{0, 0}, {1, 0}, {2, 0}, {3, 0}}));
}

TEST(PylonFilterSlotsTest, OnlyFourLocalAddressesAreFiltered) {
  RecordedSlots slots;
  const auto a = Addresses({"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5"});
  std::vector<LocalFilterAddress> locals;
  for (uint32_t address : a) locals.push_back({address, true});
  WritePylonFilters(locals, {}, slots.setters());
  EXPECT_EQ(slots.filters, (SlotCalls{{0, a[0]}, {1, a[1]}, {2, a[2]}, {3, a[3]}}));
}

// --- The source on the near end of a veth pair, the far kernel sending, a real UDP receiver for
// the inserter.

constexpr MacAddress kRowMac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
constexpr MacAddress kIpv6RowMac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x66};

// The subnet 10.20.0.0/24 (PID 0x0123) with the row 10.20.0.50, the groups 239.0.0.0/8 (PID
// 0x0456), and the IPv6 row fd00::50 (PID 0x0789).
TableSnapshot TapTables() {
  TableSnapshot tables;
  tables.InsertSubnet({.id = 1,
                       .IPSubNetAddr = DottedToAddress("10.20.0.0"),
                       .IPSubNetMask = DottedToAddress("255.255.255.0"),
                       .IPSubNetPID = 0x0123});
  tables.InsertSubnet({.id = 2,
                       .IPSubNetAddr = DottedToAddress("239.0.0.0"),
                       .IPSubNetMask = DottedToAddress("255.0.0.0"),
                       .IPSubNetPID = 0x0456});
  tables.InsertIpMacRow({.address = DottedToAddress("10.20.0.50"), .mac = kRowMac, .subnet = 1});
  tables.InsertIpv6Subnet({.id = 3, .Alias = "v6", .IPSubNetMAC = "v6", .IPSubNetPID = 0x0789});
  tables.InsertIpv6MacRow({.address = *TextToIpv6("fd00::50"), .mac = kIpv6RowMac, .subnet = 3});
  return tables;
}

class PylonSourceTest : public testing::TapPairTest {
 protected:
  void SetUp() override {
    TapPairTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    rig_.running = 0;
    rig_.log.Configure({.level = 3});
    rig_.tables.Publish(TapTables());
    inserter_ = std::make_unique<testing::UdpPeer>();
    source_ = std::make_unique<PylonSource>(
        rig_.path,
        PylonSource::Settings{
            .enable = enable_,
            .multicast_interface = multicast_nic_,
            .ipv6_adapter = ipv6_adapter_,
            .inserter = inserter_ip_,
            .virtual_adapter_description = testing::kAdapterAlias,
            .source_filters = source_filters_,
            .local_addresses =
                [] {
                  return std::vector<LocalFilterAddress>{{DottedToAddress("10.20.0.1"), true}};
                }},
        rig_.clock);
    run_ = std::make_unique<testing::SourceRun>(rig_, *source_, inserter_->port());
    far_mac_ = FarOutput("cat /sys/class/net/far0/address");
    std::erase(far_mac_, ':');
    std::erase(far_mac_, '\n');
  }
  void TearDown() override {
    run_.reset();
    source_.reset();
    inserter_.reset();
    TapPairTest::TearDown();
  }
  void Start() { run_->Start(); }
  void Stop() { run_->Stop(); }
  std::string Next() { return Hex(testing::AsBytes(inserter_->Next())); }
  // Checks a datagram of the far kernel's UDP `payload`: its QoS header, destination MAC, the far
  // end's MAC, the EtherType, the size with `ip_header` bytes of IP header, and the payload.
  void ExpectDatagram(const std::string& arrived, const std::string& qos, const std::string& mac,
                      const std::string& type, size_t ip_header, const std::string& payload) {
    EXPECT_EQ(arrived.substr(0, 16 + 12 + 12 + 4), qos + mac + far_mac_ + type);
    EXPECT_EQ(arrived.size(), 2 * (8 + 14 + ip_header + 8 + payload.size()));
    EXPECT_TRUE(arrived.ends_with(Hex(testing::AsBytes(payload)))) << arrived;
  }

  testing::PacketPathRig rig_;
  SharedNumber<int32_t> enable_{1};
  SharedText multicast_nic_{"10.20.0.1"};
  SharedNumber<int32_t> ipv6_adapter_{0};
  SharedNumber<uint32_t> inserter_ip_{DottedToAddress("127.0.0.1")};
  SourceFilterList source_filters_;
  std::unique_ptr<testing::UdpPeer> inserter_;
  std::unique_ptr<PylonSource> source_;
  std::unique_ptr<testing::SourceRun> run_;
  std::string far_mac_;
};

TEST_F(PylonSourceTest, TheFarKernelsArpIsAnsweredAndItsUnicastReachesTheInserter) {
  ASSERT_TRUE(namespace_->entered());
  Start();
  ASSERT_TRUE(source_->open());
  SendUdpFromFar("10.20.0.50", 5000, "unicast");
  const std::string arrived = Next();
  ExpectDatagram(arrived, "0a1400322c01232c", Hex(kRowMac), "0800", 20, "unicast");
  EXPECT_NE(FarOutput("ip neigh show 10.20.0.50").find("00:11:22:33:44:55"), std::string::npos);
  EXPECT_EQ(rig_.counters.arp_answers, 1u);
  EXPECT_EQ(rig_.counters.unicast_packets, 1u);
  EXPECT_EQ(rig_.counters.resolved_packets, 1u);
  EXPECT_EQ(rig_.counters.unicast_frames, 1u);
  EXPECT_EQ(rig_.counters.unicast_bytes, 8u + 7u);
  EXPECT_TRUE(rig_.counters.external_active);
  EXPECT_TRUE(rig_.console.Has("Arp. Resolved. IPsrc=10.20.0.50, IPdst=10.20.0.2"));
  EXPECT_TRUE(rig_.console.Has("Pylon. PID/MAC resolved."));
  const auto stats = rig_.statistics.Address(DottedToAddress("10.20.0.50"));
  ASSERT_TRUE(stats);
  EXPECT_EQ(stats->bytes, 8u + 7u);
  // The ARP exchange never went to the inserter.
  inserter_->set_timeout(std::chrono::milliseconds(300));
  EXPECT_EQ(inserter_->Next(), "<nothing>");
}

TEST_F(PylonSourceTest, AMulticastFrameKeepsItsMac) {
  ASSERT_TRUE(namespace_->entered());
  Start();
  SendUdpFromFar("239.1.2.3", 5000, "group");
  const std::string arrived = Next();
  ExpectDatagram(arrived, "ef0102032c04562c", "01005e010203", "0800", 20, "group");
  EXPECT_GE(rig_.counters.multicast_packets, 1u);  // the far kernel's own reports may add to it
  EXPECT_EQ(rig_.counters.multicast_frames, 1u);
}

TEST_F(PylonSourceTest, TheSolicitationForAnIpv6RowIsAnsweredAndItsFrameReachesTheInserter) {
  ASSERT_TRUE(namespace_->entered());
  ASSERT_NO_FATAL_FAILURE(TurnOnFarIpv6());
  Start();
  ASSERT_TRUE(source_->open());
  SendUdpFromFar("fd00::50", 5000, "sixth");
  const std::string arrived = Next();
  ExpectDatagram(arrived, "000000502c07892c", Hex(kIpv6RowMac), "86dd", 40, "sixth");
  EXPECT_NE(FarOutput("ip -6 neigh show fd00::50").find("00:11:22:33:44:66"), std::string::npos);
  EXPECT_EQ(rig_.counters.unicast_packets, 1u);
  EXPECT_EQ(rig_.counters.unicast_bytes, 8u + 5u);
}

TEST_F(PylonSourceTest, AnIpv6FrameWithoutRowIsAResolutionFailure) {
  ASSERT_TRUE(namespace_->entered());
  ASSERT_NO_FATAL_FAILURE(TurnOnFarIpv6());
  rig_.log.Configure({.level = 2});
  ASSERT_EQ(Far("ip -6 neigh add fd00::77 lladdr 02:00:00:00:00:77 dev far0"), 0);
  Start();
  SendUdpFromFar("fd00::77", 5000, "nobody");
  // The far kernel's own multicast (its listener reports) may come first: unresolved as well.
  EXPECT_TRUE(Eventually([&] { return rig_.counters.unicast_packets == 1; }));
  EXPECT_TRUE(rig_.console.Has("Pylon. Can't define PID."));
  EXPECT_EQ(rig_.counters.resolved_packets, 0u);
}

TEST_F(PylonSourceTest, ASourceFilterAdmitsOnlyListedHosts) {
  ASSERT_TRUE(namespace_->entered());
  source_filters_.ReadLine("10.20.0.3");
  Start();
  SendUdpFromFar("10.20.0.50", 5000, "refused");
  inserter_->set_timeout(std::chrono::seconds(1));
  EXPECT_EQ(inserter_->Next(), "<nothing>");
  EXPECT_EQ(rig_.counters.arp_requests, 0u);
  EXPECT_EQ(FarOutput("ip neigh show 10.20.0.50").find("00:11:22:33:44:55"), std::string::npos);
  // Listed, the far host is served again once the filters are set anew.
  source_filters_.ReadLine("10.20.0.2");
  source_->SetPylonFilters();
  ASSERT_EQ(Far("ip neigh flush dev far0"), 0);
  SendUdpFromFar("10.20.0.50", 5000, "admitted");
  inserter_->set_timeout(std::chrono::seconds(5));
  ExpectDatagram(Next(), "0a1400322c01232c", Hex(kRowMac), "0800", 20, "admitted");
}

TEST_F(PylonSourceTest, RequestsForHostsWithoutRowAreLoggedAtMostOnceASecondWithACount) {
  ASSERT_TRUE(namespace_->entered());
  rig_.log.Configure({.level = 2});
  // One request per host, so that nothing follows the last one.
  ASSERT_EQ(Far("sysctl -qw net.ipv4.neigh.far0.mcast_solicit=1"), 0);
  Start();
  for (const char* host : {"10.20.0.60", "10.20.0.61", "10.20.0.62"}) {
    SendUdpFromFar(host, 5000, "nobody");
  }
  EXPECT_TRUE(Eventually([&] { return rig_.counters.arp_requests == 3; }));
  const auto logged = [&] {
    int count = 0;
    for (const std::string& line : rig_.console.Lines()) {
      const size_t at = line.find("; ");
      if (!line.starts_with("Arp. Not found destination IP. IPsrc=10.20.0.2, IPdst=10.20.0.6") ||
          at == std::string::npos) {
        continue;
      }
      EXPECT_TRUE(line.ends_with(" request(s) for hosts without a row.")) << line;
      count += std::stoi(line.substr(at + 2));
    }
    return count;
  };
  // The count of the later ones is logged when its second is over, with no request after them.
  rig_.clock.Advance(std::chrono::seconds(1));
  EXPECT_TRUE(Eventually([&] { return logged() == 3; }));
  EXPECT_EQ(rig_.console.Count("Arp. Not found destination IP."), 2);
  Stop();
  EXPECT_EQ(rig_.counters.arp_answers, 0u);
}

TEST_F(PylonSourceTest, NoArpAnswerForThisHostOrTheInserterEvenWithARow) {
  ASSERT_TRUE(namespace_->entered());
  // An address of this host outside the address filter, so that its requests reach the source.
  ASSERT_EQ(Run("ip addr add 10.20.0.9/24 dev tap0"), 0);
  constexpr MacAddress kClaimedMac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x77};
  TableSnapshot tables = TapTables();
  for (const char* host : {"10.20.0.9", "10.20.0.70"}) {
    tables.InsertIpMacRow({.address = DottedToAddress(host), .mac = kClaimedMac, .subnet = 1});
  }
  rig_.tables.Publish(std::move(tables));
  inserter_ip_ = DottedToAddress("10.20.0.70");
  Start();
  SendUdpFromFar("10.20.0.9", 5000, "host");
  SendUdpFromFar("10.20.0.70", 5000, "inserter");
  EXPECT_TRUE(Eventually([&] {
    return rig_.console.Has("Arp. Own address of this host. IPsrc=10.20.0.2, IPdst=10.20.0.9") &&
           rig_.console.Has("Arp. Inserter address. IPsrc=10.20.0.2, IPdst=10.20.0.70");
  }));
  Stop();
  EXPECT_EQ(rig_.counters.arp_answers, 0u);
  EXPECT_EQ(FarOutput("ip neigh show").find("00:11:22:33:44:77"), std::string::npos);
}

TEST_F(PylonSourceTest, FramesToALocalAddressAreNotTapped) {
  ASSERT_TRUE(namespace_->entered());
  Start();
  SendUdpFromFar("10.20.0.1", 5000, "local");
  inserter_->set_timeout(std::chrono::seconds(1));
  EXPECT_EQ(inserter_->Next(), "<nothing>");
  EXPECT_EQ(rig_.counters.unicast_packets, 0u);
}

TEST_F(PylonSourceTest, AnAbsentDriverIsReportedAndNothingRuns) {
  ASSERT_TRUE(namespace_->entered());
  multicast_nic_ = "10.99.0.1";
  Start();
  EXPECT_FALSE(source_->open());
  EXPECT_TRUE(
      rig_.console.Has("Cannot find \"Tessaro Pylon Driver\" on this system. Check if "
                       "this driver installed and active."));
}

TEST_F(PylonSourceTest, TheAdapterListNamesTheNearEndButNotTheVirtualAdapter) {
  ASSERT_TRUE(namespace_->entered());
  // Listed before any start: the virtual adapter is known without an open tap.
  ASSERT_EQ(Run("ip tuntap add dev corvid0 mode tap && ip link set corvid0 alias \"" +
                std::string(testing::kAdapterAlias) + "\""),
            0);
  const auto& adapters = source_->ListPylonAdapters();
  ASSERT_EQ(adapters.size(), 1u);
  EXPECT_EQ(adapters[0].name, "tap0");
  EXPECT_EQ(adapters[0].mac.size(), 17u);
  EXPECT_EQ(adapters[0].mac[2], '-');
  EXPECT_EQ(&source_->ListPylonAdapters(), &adapters);
}

}  // namespace
}  // namespace velmora
