#include "packet/inserter_datagram.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/address_text.h"

namespace velmora {
namespace {

// An IPv4 frame to `destination` with source MAC 02:..:02 and a UDP header after the IP header.
std::vector<uint8_t> Ipv4Frame(const char* destination, size_t size = 60) {
  std::vector<uint8_t> f(size, 0);
  for (int i = 0; i < 6; ++i) {
    f[i] = 0xaa;
    f[6 + i] = 0x02;
  }
  f[12] = 0x08;
  f[14] = 0x45;
  const uint32_t address = DottedToAddress(destination);
  std::memcpy(f.data() + frame::kIpv4Destination, &address, 4);
  return f;
}

std::vector<uint8_t> Ipv6Frame(const char* destination) {
  std::vector<uint8_t> f(80, 0);
  f[12] = 0x86, f[13] = 0xdd, f[14] = 0x60;
  const Ipv6Address address = *TextToIpv6(destination);
  std::copy(address.begin(), address.end(), f.begin() + frame::kIpv6Destination);
  return f;
}

MacAddress DestinationOf(const std::vector<uint8_t>& f) {
  MacAddress mac;
  std::copy(f.begin(), f.begin() + 6, mac.begin());
  return mac;
}

class InserterDatagramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tables_.InsertIpMacRow(
        {.address = DottedToAddress("10.0.0.5"), .mac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}});
  }
  TableSnapshot tables_;
};

TEST_F(InserterDatagramTest, MulticastMacsByRule) {
  auto f = Ipv4Frame("239.129.2.3");
  ASSERT_TRUE(ResolveIpv4Mac(f, Ipv4MacRule::kMapMulticast, tables_, true));
  EXPECT_EQ(DestinationOf(f), (MacAddress{0x01, 0x00, 0x5e, 0x01, 0x02, 0x03}));
  f = Ipv4Frame("224.0.0.1");
  ASSERT_TRUE(ResolveIpv4Mac(f, Ipv4MacRule::kKeepMulticast, tables_, true));
  EXPECT_EQ(DestinationOf(f), (MacAddress{0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa}));
  ASSERT_TRUE(ResolveIpv4Mac(f, Ipv4MacRule::kL2tpLink, tables_, false));
  EXPECT_EQ(DestinationOf(f), kFixedMac);
  EXPECT_FALSE(IsMulticastIpv4(Ipv4Frame("240.0.0.1").data() + frame::kIpv4Destination));
}

TEST_F(InserterDatagramTest, UnicastMacsByChannel) {
  auto f = Ipv4Frame("10.0.0.5");
  ASSERT_TRUE(ResolveIpv4Mac(f, Ipv4MacRule::kMapMulticast, tables_, true));
  EXPECT_EQ(DestinationOf(f), (MacAddress{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}));
  f = Ipv4Frame("10.0.0.6");
  EXPECT_FALSE(ResolveIpv4Mac(f, Ipv4MacRule::kKeepMulticast, tables_, true));  // no row
  ASSERT_TRUE(ResolveIpv4Mac(f, Ipv4MacRule::kMapMulticast, tables_, false));   // DAB
  EXPECT_EQ(DestinationOf(f), kFixedMac);
  EXPECT_FALSE(ResolveIpv4Mac(f, Ipv4MacRule::kL2tpLink, tables_, false));  // always a row
  EXPECT_FALSE(
      ResolveIpv4Mac(std::span<uint8_t>(f).first(33), Ipv4MacRule::kMapMulticast, tables_, false));
}

TEST_F(InserterDatagramTest, Ipv6Macs) {
  const Ipv6MacEntry row{.mac = {0x00, 0x66, 0x66, 0x66, 0x66, 0x66}};
  auto f = Ipv6Frame("2001:db8::1");
  EXPECT_FALSE(ResolveIpv6Mac(f, nullptr, true));
  ASSERT_TRUE(ResolveIpv6Mac(f, &row, true));
  EXPECT_EQ(DestinationOf(f), row.mac);
  ASSERT_TRUE(ResolveIpv6Mac(f, &row, false));
  EXPECT_EQ(DestinationOf(f), kFixedMac);
  f = Ipv6Frame("ff02::1");
  ASSERT_TRUE(ResolveIpv6Mac(f, nullptr, true));
  EXPECT_EQ(f[0], 0);  // kept as received
}

TEST_F(InserterDatagramTest, DatagramsByteForByte) {
  const auto f = Ipv4Frame("10.0.0.5", 42);
  std::vector<uint8_t> out;
  ASSERT_TRUE(BuildDatagram(f, 0x1234, false, out));
  ASSERT_EQ(out.size(), 50u);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 8),
            (std::vector<uint8_t>{10, 0, 0, 5, ',', 0x12, 0x34, ','}));
  EXPECT_TRUE(std::equal(f.begin(), f.end(), out.begin() + 8));
  const auto v6 = Ipv6Frame("2001:db8::a0b:c0d");
  ASSERT_TRUE(BuildDatagram(v6, 0x0100, true, out));
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 8),
            (std::vector<uint8_t>{0x0a, 0x0b, 0x0c, 0x0d, ',', 0x01, 0x00, ','}));
  EXPECT_FALSE(BuildDatagram(std::span<const uint8_t>(v6).first(53), 1, true, out));
  EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace velmora
