// The pure parts of the tap: its capture filters and its neighbour solicitation answers.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/address_text.h"
#include "platform/neighbour_discovery.h"
#include "platform/network_links.h"
#include "platform/pylon_filters.h"
#include "testing/bytes.h"
#include "testing/neighbour_frames.h"

namespace velmora {
namespace {

using testing::FromHex;
using testing::Hex;
using testing::kAdvertisement;
using testing::kSolicitation;
constexpr EthernetAddress kListedMac{0x02, 0, 0, 0, 0x02, 0x99};

TEST(PylonFiltersTest, AddressSlotsExcludeAndSourceSlotsAdmit) {
  const uint32_t local[] = {DottedToAddress("10.0.0.1"), 0, DottedToAddress("10.0.0.3")};
  const uint32_t sources[] = {0, DottedToAddress("10.0.1.7"), DottedToAddress("10.0.1.8")};
  const PylonCaptureFilters filters = BuildPylonCaptureFilters(local, sources);
  EXPECT_EQ(filters.ipv4,
            "inbound and ip and greater 38 and not dst host 10.0.0.1 and not dst host 10.0.0.3"
            " and (src host 10.0.1.7 or src host 10.0.1.8)");
  EXPECT_EQ(filters.arp,
            "inbound and arp and greater 42 and not arp dst host 10.0.0.1 and not arp dst host "
            "10.0.0.3 and (arp src host 10.0.1.7 or arp src host 10.0.1.8)");
  EXPECT_EQ(filters.ipv6, "inbound and ip6 and greater 54");
}

TEST(PylonFiltersTest, EmptySlotsLeaveOnlyTheKindAndItsLength) {
  const uint32_t cleared[] = {0, 0, 0, 0, 0};
  const PylonCaptureFilters filters = BuildPylonCaptureFilters(cleared, cleared);
  EXPECT_EQ(filters.ipv4, "inbound and ip and greater 38");
  EXPECT_EQ(filters.arp, "inbound and arp and greater 42");
}

TEST(PylonFiltersTest, EveryFilterCompiles) {
  const uint32_t local[] = {DottedToAddress("192.168.1.1")};
  const uint32_t sources[] = {DottedToAddress("192.168.1.2"), DottedToAddress("192.168.1.3"),
                              DottedToAddress("192.168.1.4"), DottedToAddress("192.168.1.5"),
                              DottedToAddress("192.168.1.6")};
  const PylonCaptureFilters filters = BuildPylonCaptureFilters(local, sources);
  pcap_t* dead = pcap_open_dead(DLT_EN10MB, 16384);
  for (const std::string& expression : {filters.ipv4, filters.arp, filters.ipv6}) {
    bpf_program program{};
    EXPECT_EQ(pcap_compile(dead, &program, expression.c_str(), 1, PCAP_NETMASK_UNKNOWN), 0)
        << expression << ": " << pcap_geterr(dead);
    pcap_freecode(&program);
  }
  pcap_close(dead);
}

TEST(NeighbourDiscoveryTest, ReadsASolicitationAndAnswersIt) {
  const auto solicitation = ReadNeighbourSolicitation(FromHex(kSolicitation));
  ASSERT_TRUE(solicitation);
  EXPECT_EQ(Ipv6ToText(solicitation->source), "fd00::2");
  EXPECT_EQ(Ipv6ToText(solicitation->target), "fd00::99");
  EXPECT_EQ(Hex(solicitation->asker), "020000000022");
  EXPECT_EQ(Hex(AdvertiseNeighbour(*solicitation, kListedMac)), kAdvertisement);
}

TEST(NeighbourDiscoveryTest, WithoutTheOptionTheFrameSourceIsAnswered) {
  std::vector<uint8_t> frame = FromHex(kSolicitation);
  frame.resize(78);
  frame[19] = 24;  // the payload without the option
  // The checksum 0x7c47 rises by what leaves the sum: the option's words (0x0101, 0x0200,
  // 0x0022) and 8 of the pseudo-header's length.
  frame[56] = 0x7F;
  frame[57] = 0x72;
  const auto solicitation = ReadNeighbourSolicitation(frame);
  ASSERT_TRUE(solicitation);
  EXPECT_EQ(Hex(solicitation->asker), "020000000002");
}

TEST(NeighbourDiscoveryTest, RefusesWhatIsNotToBeAnswered) {
  const std::vector<uint8_t> good = FromHex(kSolicitation);
  const auto changed = [&](size_t at, uint8_t value) {
    std::vector<uint8_t> frame = good;
    frame[at] = value;
    return ReadNeighbourSolicitation(frame).has_value();
  };
  EXPECT_FALSE(changed(21, 64));    // hop limit not 255
  EXPECT_FALSE(changed(55, 1));     // code not 0
  EXPECT_FALSE(changed(57, 0x48));  // checksum wrong
  EXPECT_FALSE(changed(54, 136));   // an advertisement
  EXPECT_FALSE(changed(12, 0x08));  // not IPv6
  EXPECT_FALSE(changed(20, 0));     // an extension header first
  EXPECT_FALSE(changed(19, 0xFF));  // a payload longer than the frame
  std::vector<uint8_t> cut = good;
  cut.resize(77);
  EXPECT_FALSE(ReadNeighbourSolicitation(cut));
  EXPECT_FALSE(ReadNeighbourSolicitation({}));
}

TEST(NeighbourDiscoveryTest, RefusesProbesMulticastTargetsAndStrayDestinations) {
  // Each change keeps the checksum: a word of the pseudo-header or message moves from one place
  // to another of the same sum.
  std::vector<uint8_t> probe = FromHex(kSolicitation);
  // Source fd00::2 becomes :: : the sum falls by 0xfd00 + 0x0002, so the checksum rises by it.
  probe[22] = 0;
  probe[37] = 0;
  const uint32_t sum = 0x7C47 + 0xFD00 + 0x0002;
  const uint16_t checksum = static_cast<uint16_t>((sum & 0xFFFF) + (sum >> 16));
  probe[56] = static_cast<uint8_t>(checksum >> 8);
  probe[57] = static_cast<uint8_t>(checksum);
  EXPECT_FALSE(ReadNeighbourSolicitation(probe));

  std::vector<uint8_t> stray = FromHex(kSolicitation);
  // ff02:0:: becomes 0:ff02:: , the same sum.
  std::swap(stray[38], stray[40]);
  std::swap(stray[39], stray[41]);
  EXPECT_FALSE(ReadNeighbourSolicitation(stray));
}

TEST(ReceivingInterfacesTest, FollowStackedDevicesAndPortsButNotPeers) {
  // eth0 and eth1 in bond0, vlan5 on bond0, br0 over vlan5 and veth0, whose peer is veth1.
  const std::vector<NetworkLink> links = {
      {.index = 2, .name = "eth0", .master = 4},
      {.index = 3, .name = "eth1", .master = 4},
      {.index = 4, .name = "bond0", .kind = "bond"},
      {.index = 5, .name = "vlan5", .master = 6, .parent = 4, .kind = "vlan"},
      {.index = 6, .name = "br0", .kind = "bridge"},
      {.index = 7, .name = "veth0", .master = 6, .parent = 8, .kind = "veth"},
      {.index = 8, .name = "veth1", .parent = 7, .kind = "veth"},
  };
  EXPECT_EQ(ReceivingInterfaces(links, 6),
            (std::vector<std::string>{"br0", "veth0", "vlan5", "bond0", "eth1", "eth0"}));
  EXPECT_EQ(ReceivingInterfaces(links, 8), std::vector<std::string>{"veth1"});
  EXPECT_EQ(ReceivingInterfaces(links, 9), std::vector<std::string>{});
}

}  // namespace
}  // namespace velmora
