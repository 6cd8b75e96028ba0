#include "packet/pylon_frame.h"

#include <gtest/gtest.h>

#include <vector>

#include "packet/arp_reply.h"
#include "packet/inserter_datagram.h"
#include "testing/bytes.h"
#include "testing/corvid_frames.h"

namespace velmora {
namespace {

using testing::Hex;
using testing::UdpFrame;

constexpr MacAddress kIpv6RowMac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x66};

// An IPv6 UDP frame to `destination` with `payload_size` bytes after the UDP header.
std::vector<uint8_t> Ipv6Frame(const std::string& destination, size_t payload_size = 6) {
  std::vector<uint8_t> frame = {0x33, 0x33, 0,    0,    0,    1,    0x02,
                                0x10, 0x20, 0x30, 0x40, 0x50, 0x86, 0xdd};
  const size_t udp = 8 + payload_size;
  frame.insert(frame.end(),
               {0x60, 0, 0, 0, static_cast<uint8_t>(udp >> 8), static_cast<uint8_t>(udp), 17, 64});
  const Ipv6Address source = *TextToIpv6("fd00::2");
  const Ipv6Address target = *TextToIpv6(destination);
  frame.insert(frame.end(), source.begin(), source.end());
  frame.insert(frame.end(), target.begin(), target.end());
  frame.insert(frame.end(), {0x9c, 0x40, 0x13, 0x88, 0, static_cast<uint8_t>(udp), 0, 0});
  for (size_t i = 0; i < payload_size; ++i) frame.push_back(static_cast<uint8_t>(i));
  return frame;
}

class PylonFrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tables_.InsertIpv6Subnet({.id = 3, .Alias = "v6", .IPSubNetMAC = "v6", .IPSubNetPID = 0x0789});
    tables_.InsertIpv6MacRow({.address = *TextToIpv6("fd00::50"), .mac = kIpv6RowMac, .subnet = 3});
    tables_.InsertIpv6MacRow({.address = *TextToIpv6("ff02::50"), .subnet = 3});
  }
  // The frame in a slot as the tap's threads read it.
  std::span<uint8_t> Slot(const std::vector<uint8_t>& frame) {
    slot_ = testing::InSlot(frame.data(), frame.size());
    return slot_;
  }
  CorvidFrame Port(const std::vector<uint8_t>& frame, bool dvb = true) {
    return DecodePylonPortFrame(Slot(frame), tables_, dvb);
  }
  PylonIpv6Frame Ipv6(const std::vector<uint8_t>& frame, bool dvb = true) {
    return DecodePylonIpv6Frame(Slot(frame), tables_, dvb);
  }

  TableSnapshot tables_ = testing::SubnetRowAndGroups();
  std::vector<uint8_t> slot_;
};

TEST_F(PylonFrameTest, AMulticastFrameKeepsItsOwnMac) {
  std::vector<uint8_t> frame = UdpFrame("239.129.2.3", 5000);
  std::copy_n(std::begin({0x01, 0x00, 0x5e, 0x7f, 0x7f, 0x7f}), 6, frame.begin());
  const CorvidFrame result = Port(frame);
  ASSERT_EQ(result.outcome, CorvidOutcome::kResolved);
  EXPECT_TRUE(result.multicast);
  EXPECT_EQ(result.datagram.data(), slot_.data());
  EXPECT_EQ(Hex(result.datagram), "ef8102032c04562c" + Hex(frame));
}

TEST_F(PylonFrameTest, AUnicastFrameTakesTheRowsMacOnDvbAndTheFixedMacOnDab) {
  const std::vector<uint8_t> frame = UdpFrame("10.1.0.5", 5000);
  const std::string rest = Hex(std::span(frame).subspan(6));
  EXPECT_EQ(Hex(Port(frame).datagram), "0a0100052c01232c001122334455" + rest);
  const std::vector<uint8_t> other = UdpFrame("10.1.0.9", 5000);
  EXPECT_EQ(Hex(Port(other, false).datagram),
            "0a0100092c01232c0009b80b0200" + Hex(std::span(other).subspan(6)));
  EXPECT_EQ(Port(other).outcome, CorvidOutcome::kUnresolvedMac);
}

TEST_F(PylonFrameTest, PortFrameSizesLowPortsAndUnknownSubnets) {
  std::vector<uint8_t> frame = UdpFrame("10.1.0.5", 5000);
  EXPECT_EQ(Port({frame.begin(), frame.begin() + 37}).outcome, CorvidOutcome::kTooShort);
  EXPECT_EQ(Port(UdpFrame("10.1.0.5", 5000, 0, kMaxPylonFrame - 42)).outcome,
            CorvidOutcome::kResolved);
  EXPECT_EQ(Port(UdpFrame("10.1.0.5", 5000, 0, kMaxPylonFrame - 41)).outcome,
            CorvidOutcome::kTooLong);
  EXPECT_EQ(Port(UdpFrame("10.1.0.5", 53)).outcome, CorvidOutcome::kLowPort);
  const CorvidFrame unknown = Port(UdpFrame("10.2.0.5", 5000));
  EXPECT_EQ(unknown.outcome, CorvidOutcome::kUnresolvedPid);
  EXPECT_EQ(unknown.payload, UdpFrame("10.2.0.5", 5000).size() - 34);
}

TEST_F(PylonFrameTest, AnIpv6FrameTakesItsRowsPidAndMac) {
  const std::vector<uint8_t> frame = Ipv6Frame("fd00::50");
  const PylonIpv6Frame result = Ipv6(frame);
  ASSERT_EQ(result.outcome, CorvidOutcome::kResolved);
  EXPECT_FALSE(result.multicast);
  EXPECT_EQ(result.payload, frame.size() - 54);
  EXPECT_EQ(result.destination, 0u);
  EXPECT_EQ(Hex(result.datagram),
            "000000502c07892c" + Hex(kIpv6RowMac) + Hex(std::span(frame).subspan(6)));
  EXPECT_EQ(Hex(Ipv6(frame, false).datagram),
            "000000502c07892c0009b80b0200" + Hex(std::span(frame).subspan(6)));
}

TEST_F(PylonFrameTest, AMulticastIpv6FrameKeepsItsMac) {
  const std::vector<uint8_t> frame = Ipv6Frame("ff02::50");
  const PylonIpv6Frame result = Ipv6(frame);
  ASSERT_EQ(result.outcome, CorvidOutcome::kResolved);
  EXPECT_TRUE(result.multicast);
  EXPECT_EQ(Hex(result.datagram), "000000502c07892c" + Hex(frame));
}

TEST_F(PylonFrameTest, AnIpv6FrameWithoutRowIsUnresolved) {
  const PylonIpv6Frame result = Ipv6(Ipv6Frame("fd00::77"));
  EXPECT_EQ(result.outcome, CorvidOutcome::kUnresolvedPid);
  EXPECT_FALSE(result.multicast);
  EXPECT_TRUE(result.datagram.empty());
}

TEST_F(PylonFrameTest, Ipv6FrameSizes) {
  const std::vector<uint8_t> frame = Ipv6Frame("fd00::50", 0);
  EXPECT_EQ(Ipv6({frame.begin(), frame.begin() + 53}).outcome, CorvidOutcome::kTooShort);
  EXPECT_EQ(Ipv6({frame.begin(), frame.begin() + 54}).outcome, CorvidOutcome::kResolved);
  EXPECT_EQ(Ipv6(Ipv6Frame("fd00::50", kMaxPylonFrame - 62)).outcome, CorvidOutcome::kResolved);
  EXPECT_EQ(Ipv6(Ipv6Frame("fd00::50", kMaxPylonFrame - 61)).outcome, CorvidOutcome::kTooLong);
}

TEST_F(PylonFrameTest, ArpFromASenderOutsideTheAllowedListIsRefused) {
  const std::vector<uint32_t> allowed = {DottedToAddress("10.9.0.1")};
  std::vector<uint8_t> request = testing::ArpRequest("10.9.0.2", "10.1.0.5");
  const ArpContext context{.tables = tables_, .allowed_senders = allowed};
  EXPECT_EQ(ArpReply(request, context), ArpOutcome::kNotAllowed);
  EXPECT_EQ(request, testing::ArpRequest("10.9.0.2", "10.1.0.5"));
  request = testing::ArpRequest("10.9.0.1", "10.1.0.5");
  EXPECT_EQ(ArpReply(request, context), ArpOutcome::kAnswered);
}

}  // namespace
}  // namespace velmora
