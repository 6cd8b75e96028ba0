#include "packet/corvid_frame.h"

#include <gtest/gtest.h>

#include <vector>

#include "packet/inserter_datagram.h"
#include "testing/bytes.h"
#include "testing/corvid_frames.h"

namespace velmora {
namespace {

using testing::Hex;
using testing::UdpFrame;

class CorvidFrameTest : public ::testing::Test {
 protected:
  // The frame in a slot as the driver leaves it.
  CorvidFrame Decode(const std::vector<uint8_t>& frame, bool dvb = true) {
    slot_ = testing::InSlot(frame.data(), frame.size());
    return DecodeCorvidFrame(slot_, tables_, dvb);
  }
  // The datagram expected for `frame` with `qos` in front and `mac` as its destination.
  static std::string Expected(const std::string& qos, const std::string& mac,
                              const std::vector<uint8_t>& frame) {
    return qos + mac + Hex(std::span(frame).subspan(6));
  }

  TableSnapshot tables_ = testing::SubnetRowAndGroups();
  std::vector<uint8_t> slot_;
};

TEST_F(CorvidFrameTest, AUnicastFrameOnDvbGetsItsRowsMacAndTheSubnetsPidInPlace) {
  const std::vector<uint8_t> frame = UdpFrame("10.1.0.5", 5000);
  const CorvidFrame result = Decode(frame);
  ASSERT_EQ(result.outcome, CorvidOutcome::kResolved);
  EXPECT_EQ(result.datagram.data(), slot_.data());
  EXPECT_EQ(Hex(result.datagram), Expected("0a0100052c01232c", "001122334455", frame));
  EXPECT_FALSE(result.multicast);
  EXPECT_EQ(result.destination, DottedToAddress("10.1.0.5"));
  EXPECT_EQ(result.payload, frame.size() - 34);
}

TEST_F(CorvidFrameTest, AUnicastFrameOnDabGetsTheFixedMacWithoutRow) {
  const std::vector<uint8_t> frame = UdpFrame("10.1.0.9", 5000);
  const CorvidFrame result = Decode(frame, false);
  ASSERT_EQ(result.outcome, CorvidOutcome::kResolved);
  EXPECT_EQ(Hex(result.datagram), Expected("0a0100092c01232c", "0009b80b0200", frame));
}

TEST_F(CorvidFrameTest, AMulticastFrameGetsTheGroupsMac) {
  const std::vector<uint8_t> frame = UdpFrame("239.129.2.3", 5000);
  const CorvidFrame result = Decode(frame);
  ASSERT_EQ(result.outcome, CorvidOutcome::kResolved);
  EXPECT_TRUE(result.multicast);
  EXPECT_EQ(Hex(result.datagram), Expected("ef8102032c04562c", "01005e010203", frame));
}

TEST_F(CorvidFrameTest, TheLowPortFilterDropsOnlyUnfragmentedFramesWithoutFlags) {
  EXPECT_EQ(Decode(UdpFrame("10.1.0.5", 53)).outcome, CorvidOutcome::kLowPort);
  EXPECT_EQ(Decode(UdpFrame("10.1.0.5", 53, 0x4000)).outcome, CorvidOutcome::kResolved);
  EXPECT_EQ(Decode(UdpFrame("10.1.0.5", 256)).outcome, CorvidOutcome::kResolved);
}

TEST_F(CorvidFrameTest, AFrameWithoutSubnetIsUnresolvedWithItsDestinationKnown) {
  const CorvidFrame result = Decode(UdpFrame("10.2.0.5", 5000));
  EXPECT_EQ(result.outcome, CorvidOutcome::kUnresolvedPid);
  EXPECT_EQ(result.destination, DottedToAddress("10.2.0.5"));
  EXPECT_TRUE(result.datagram.empty());
}

TEST_F(CorvidFrameTest, AUnicastFrameOnDvbWithoutRowHasNoMac) {
  EXPECT_EQ(Decode(UdpFrame("10.1.0.9", 5000)).outcome, CorvidOutcome::kUnresolvedMac);
}

TEST_F(CorvidFrameTest, FramesOutsideTheSizesTakenOnAreRefusedWhole) {
  std::vector<uint8_t> frame = UdpFrame("10.1.0.5", 5000, 0, 0);
  frame.resize(kMinCorvidFrame - 1);
  EXPECT_EQ(Decode(frame).outcome, CorvidOutcome::kTooShort);
  frame.resize(kMinCorvidFrame);
  EXPECT_EQ(Decode(frame).outcome, CorvidOutcome::kResolved);
  EXPECT_EQ(Decode(UdpFrame("10.1.0.5", 5000, 0, kMaxCorvidFrame - 42)).outcome,
            CorvidOutcome::kResolved);
  EXPECT_EQ(Decode(UdpFrame("10.1.0.5", 5000, 0, kMaxCorvidFrame - 41)).outcome,
            CorvidOutcome::kTooLong);
  EXPECT_EQ(Decode({}).outcome, CorvidOutcome::kTooShort);
}

}  // namespace
}  // namespace velmora
