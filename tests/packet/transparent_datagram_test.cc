#include "packet/transparent_datagram.h"

#include <gtest/gtest.h>

#include <cstring>

#include "packet/inserter_datagram.h"
#include "platform/address_text.h"
#include "testing/inserter_datagrams.h"

namespace velmora {
namespace {

using Outcome = TransparentOutcome;

using testing::TransparentDatagram;

class TransparentDatagramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tables_.InsertSubnet({.id = 1,
                          .IPSubNetAddr = DottedToAddress("10.0.0.0"),
                          .IPSubNetMask = DottedToAddress("255.0.0.0"),
                          .IPSubNetPID = 0x0123});
    tables_.InsertSubnet({.id = 2,
                          .IPSubNetAddr = DottedToAddress("224.0.0.0"),
                          .IPSubNetMask = DottedToAddress("240.0.0.0"),
                          .IPSubNetPID = 0x0300});
    tables_.InsertIpMacRow({.address = DottedToAddress("10.0.0.5"),
                            .mac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55},
                            .subnet = 1});
    tables_.InsertIpv6Subnet({.id = 3, .Alias = "v6", .IPSubNetPID = 0x0456});
    tables_.InsertIpv6MacRow({.address = *TextToIpv6("2001:db8::a0b:c0d"),
                              .mac = {0x00, 0x66, 0x66, 0x66, 0x66, 0x66},
                              .subnet = 3});
  }
  TransparentResult Handle(std::vector<uint8_t>& d, bool dvb = true) {
    return HandleTransparentDatagram(d, tables_, dvb, rebuilt_);
  }
  TableSnapshot tables_;
  std::vector<uint8_t> rebuilt_;
};

TEST_F(TransparentDatagramTest, EveryShortLengthIsRefusedWithoutReadingPastIt) {
  for (size_t size = 0; size <= 62; ++size) {
    for (bool v6 : {false, true}) {
      std::vector<uint8_t> full =
          TransparentDatagram(v6 ? "2001:db8::a0b:c0d" : "10.0.0.5", 1, 1, 100, v6);
      // Only `size` bytes on the heap of their own, so that ASan sees any read beyond.
      std::vector<uint8_t> d(full.begin(), full.begin() + static_cast<ptrdiff_t>(size));
      const Outcome outcome = Handle(d).outcome;
      const size_t needed = v6 ? 62 : 42;
      if (size < 8) {
        EXPECT_EQ(outcome, Outcome::kBadQosHeader) << size;
      } else if (size < needed) {
        EXPECT_EQ(outcome, Outcome::kBadIpPacket) << size << (v6 ? " v6" : " v4");
      } else {
        EXPECT_EQ(outcome, v6 ? Outcome::kResolvedIpv6 : Outcome::kResolvedIpv4) << size;
      }
    }
  }
}

TEST_F(TransparentDatagramTest, LengthSeparatorsAndVersions) {
  auto longest = TransparentDatagram("10.0.0.5", 1, 1, 4072);
  EXPECT_EQ(Handle(longest).outcome, Outcome::kResolvedIpv4);
  auto too_long = TransparentDatagram("10.0.0.5", 1, 1, 4073);
  EXPECT_EQ(Handle(too_long).outcome, Outcome::kTooLong);
  auto bad = TransparentDatagram("10.0.0.5", 1, 1);
  bad[7] = ';';
  EXPECT_EQ(Handle(bad).outcome, Outcome::kBadQosHeader);
  auto arp = TransparentDatagram("10.0.0.5", 1, 1);
  arp[22] = 0x00;
  EXPECT_EQ(Handle(arp).outcome, Outcome::kBadIpPacket);
}

TEST_F(TransparentDatagramTest, Ipv4PassThroughChangesOnlyTheQosIp) {
  auto d = TransparentDatagram("10.0.0.77", 0, 0);  // no row, no lookup needed
  const auto before = d;
  const TransparentResult r = Handle(d);
  ASSERT_EQ(r.outcome, Outcome::kPassedIpv4);
  EXPECT_EQ(r.payload, 100u - 42);
  ASSERT_EQ(r.datagram.size(), 100u);
  EXPECT_EQ(std::vector<uint8_t>(r.datagram.begin(), r.datagram.begin() + 4),
            (std::vector<uint8_t>{10, 0, 0, 77}));
  EXPECT_TRUE(std::equal(before.begin() + 4, before.end(), r.datagram.begin() + 4));
}

TEST_F(TransparentDatagramTest, Ipv4ResolvedChangesOnlyQosIpPidAndMac) {
  auto d = TransparentDatagram("10.0.0.5", 0x0200, 0);  // zero MAC but a PID: resolved
  const auto before = d;
  const TransparentResult r = Handle(d);
  ASSERT_EQ(r.outcome, Outcome::kResolvedIpv4);
  EXPECT_FALSE(r.multicast);
  EXPECT_EQ(r.destination, DottedToAddress("10.0.0.5"));
  std::vector<uint8_t> expected = before;
  const uint8_t qos[] = {10, 0, 0, 5};
  std::copy(std::begin(qos), std::end(qos), expected.begin());
  expected[5] = 0x01;
  expected[6] = 0x23;
  const uint8_t mac[] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  std::copy(std::begin(mac), std::end(mac), expected.begin() + 8);
  EXPECT_EQ(std::vector<uint8_t>(r.datagram.begin(), r.datagram.end()), expected);

  auto dab = TransparentDatagram("10.0.0.6", 1, 1);
  const TransparentResult fixed = Handle(dab, false);
  ASSERT_EQ(fixed.outcome, Outcome::kResolvedIpv4);
  EXPECT_TRUE(std::equal(kFixedMac.begin(), kFixedMac.end(), fixed.datagram.begin() + 8));
  auto no_row = TransparentDatagram("10.0.0.6", 1, 1);
  EXPECT_EQ(Handle(no_row).outcome, Outcome::kUnresolvedMac);
  auto no_subnet = TransparentDatagram("172.16.0.1", 1, 1);
  EXPECT_EQ(Handle(no_subnet).outcome, Outcome::kUnresolvedPid);
  auto group = TransparentDatagram("239.129.2.3", 1, 1);
  const TransparentResult multicast = Handle(group);
  ASSERT_EQ(multicast.outcome, Outcome::kResolvedIpv4);
  EXPECT_TRUE(multicast.multicast);
  EXPECT_EQ(multicast.datagram[8], 0x01);
  EXPECT_EQ(multicast.datagram[11], 0x01);
  EXPECT_EQ(multicast.datagram[5], 0x03);
}

TEST_F(TransparentDatagramTest, Ipv6RowsDecideThePid) {
  auto d = TransparentDatagram("2001:db8::a0b:c0d", 1, 1, 100, true);
  const TransparentResult r = Handle(d);
  ASSERT_EQ(r.outcome, Outcome::kResolvedIpv6);
  EXPECT_EQ(r.payload, 100u - 62);
  ASSERT_EQ(r.datagram.size(), 100u);
  EXPECT_EQ(std::vector<uint8_t>(r.datagram.begin(), r.datagram.begin() + 14),
            (std::vector<uint8_t>{0x0a, 0x0b, 0x0c, 0x0d, ',', 0x04, 0x56, ',', 0x00, 0x66, 0x66,
                                  0x66, 0x66, 0x66}));
  auto below = TransparentDatagram("2001:db8::1", 1, 1, 100, true);  // rows above it exist
  EXPECT_EQ(Handle(below).outcome, Outcome::kIpv6NoPid);
  auto passed = TransparentDatagram("2001:db8::1", 0, 0, 100, true);
  const auto before = passed;
  const TransparentResult p = Handle(passed);
  ASSERT_EQ(p.outcome, Outcome::kPassedIpv6);
  EXPECT_EQ(std::vector<uint8_t>(p.datagram.begin(), p.datagram.end()), before);
}

}  // namespace
}  // namespace velmora
