#include "packet/arp_reply.h"

#include <gtest/gtest.h>

#include <vector>

#include "testing/bytes.h"
#include "testing/corvid_frames.h"

namespace velmora {
namespace {

using testing::ArpRequest;
using testing::Hex;

class ArpReplyTest : public ::testing::Test {
 protected:
  ArpOutcome Reply(std::vector<uint8_t>& frame, bool dvb = true) {
    return ArpReply(
        frame,
        {.tables = tables_, .dvb = dvb, .inserter = inserter_, .own_addresses = own_addresses_});
  }
  // A refusal leaves the frame as it was and logs `line` at level 2, nothing at level 1.
  void ExpectRefused(std::vector<uint8_t> frame, ArpOutcome outcome, const std::string& line) {
    const std::vector<uint8_t> before = frame;
    EXPECT_EQ(Reply(frame), outcome);
    EXPECT_EQ(Hex(frame), Hex(before));
    EXPECT_EQ(ArpLogLine(outcome, frame, 2), line);
    EXPECT_EQ(ArpLogLine(outcome, frame, 1), "");
  }

  TableSnapshot tables_ = testing::SubnetWithOneRow();
  uint32_t inserter_ = DottedToAddress("127.0.0.1");
  std::vector<uint32_t> own_addresses_ = {DottedToAddress("192.168.254.1")};
};

// The reply as the requester expects it, answered with `mac` for 10.1.0.5.
std::string ExpectedReply(const std::string& mac) {
  return "02aabbccdd01" + mac + "0806" + "000108000604" + "0002" + mac + "0a010005" +
         "02aabbccdd01" + "c0a8fe01";
}

TEST_F(ArpReplyTest, ADvbRequestIsAnsweredWithTheRowsMac) {
  std::vector<uint8_t> frame = ArpRequest("192.168.254.1", "10.1.0.5");
  EXPECT_EQ(Reply(frame), ArpOutcome::kAnswered);
  EXPECT_EQ(Hex(frame), ExpectedReply("001122334455"));
  EXPECT_EQ(ArpLogLine(ArpOutcome::kAnswered, frame, 3),
            "Arp. Resolved. IPsrc=10.1.0.5, IPdst=192.168.254.1\n");
  EXPECT_EQ(ArpLogLine(ArpOutcome::kAnswered, frame, 2), "");
}

TEST_F(ArpReplyTest, TheVerdictIsTheReplysOutcomeWithTheFrameLeftAsItWas) {
  const ArpContext context{
      .tables = tables_, .inserter = inserter_, .own_addresses = own_addresses_};
  const std::vector<uint8_t> answered = ArpRequest("192.168.254.1", "10.1.0.5");
  EXPECT_EQ(ArpVerdict(answered, context), ArpOutcome::kAnswered);
  EXPECT_EQ(ArpVerdict(ArpRequest("192.168.254.1", "10.1.0.6"), context), ArpOutcome::kNotFound);
  EXPECT_EQ(ArpVerdict(ArpRequest("10.1.0.5", "192.168.254.1"), context), ArpOutcome::kOwnAddress);
  EXPECT_EQ(Hex(answered), Hex(ArpRequest("192.168.254.1", "10.1.0.5")));
}

TEST_F(ArpReplyTest, ADabRequestIsAnsweredWithTheFixedMac) {
  std::vector<uint8_t> frame = ArpRequest("192.168.254.1", "10.1.0.5");
  EXPECT_EQ(Reply(frame, false), ArpOutcome::kAnswered);
  EXPECT_EQ(Hex(frame), ExpectedReply("0009b80b0200"));
}

TEST_F(ArpReplyTest, AFrameWithPaddingIsAnsweredWithItsPaddingKept) {
  std::vector<uint8_t> frame = ArpRequest("192.168.254.1", "10.1.0.5");
  frame.resize(60, 0xee);
  EXPECT_EQ(Reply(frame), ArpOutcome::kAnswered);
  EXPECT_EQ(Hex(frame), ExpectedReply("001122334455") + std::string(36, 'e'));
}

TEST_F(ArpReplyTest, AnAddressWithoutRowIsNotAnswered) {
  ExpectRefused(ArpRequest("192.168.254.1", "10.1.0.6"), ArpOutcome::kNotFound,
                "Arp. Not found destination IP. IPsrc=192.168.254.1, IPdst=10.1.0.6\n");
}

TEST_F(ArpReplyTest, AUnicastRequestIsRefused) {
  std::vector<uint8_t> frame = ArpRequest("192.168.254.1", "10.1.0.5");
  frame[5] = 0x01;
  ExpectRefused(frame, ArpOutcome::kNotBroadcast,
                "Arp. Broadcast. IPsrc=192.168.254.1, IPdst=10.1.0.5\n");
}

TEST_F(ArpReplyTest, ARequestWithItsTargetMacFilledInIsRefused) {
  std::vector<uint8_t> frame = ArpRequest("192.168.254.1", "10.1.0.5");
  frame[35] = 0x01;
  ExpectRefused(frame, ArpOutcome::kNotValid,
                "Arp. Not valid. IPsrc=192.168.254.1, IPdst=10.1.0.5\n");
}

TEST_F(ArpReplyTest, AFrameShorterThanAnArpFrameIsRefused) {
  std::vector<uint8_t> frame = ArpRequest("192.168.254.1", "10.1.0.5");
  frame.pop_back();
  ExpectRefused(frame, ArpOutcome::kTooShort, "Arp. Too short frame (41 bytes).\n");
}

TEST_F(ArpReplyTest, AProbeFromNoAddressIsRefused) {
  ExpectRefused(ArpRequest("0.0.0.0", "10.1.0.5"), ArpOutcome::kProbe,
                "Arp. Probe from 0.0.0.0. IPsrc=0.0.0.0, IPdst=10.1.0.5\n");
}

TEST_F(ArpReplyTest, AnAnnouncementIsRefused) {
  ExpectRefused(ArpRequest("10.1.0.5", "10.1.0.5"), ArpOutcome::kAnnouncement,
                "Arp. Announcement. IPsrc=10.1.0.5, IPdst=10.1.0.5\n");
}

TEST_F(ArpReplyTest, AGratuitousArpForAMulticastGroupIsIgnoredSilently) {
  ExpectRefused(ArpRequest("224.0.0.5", "224.0.0.5"), ArpOutcome::kMulticast, "");
  ExpectRefused(ArpRequest("192.168.254.1", "239.1.2.3"), ArpOutcome::kMulticast, "");
}

TEST_F(ArpReplyTest, ThisHostsOwnAddressIsNeverAnswered) {
  own_addresses_.push_back(DottedToAddress("10.1.0.5"));
  ExpectRefused(ArpRequest("192.168.254.1", "10.1.0.5"), ArpOutcome::kOwnAddress,
                "Arp. Own address of this host. IPsrc=192.168.254.1, IPdst=10.1.0.5\n");
}

TEST_F(ArpReplyTest, TheInserterIsNeverAnsweredForEvenWithARow) {
  inserter_ = DottedToAddress("10.1.0.5");
  ExpectRefused(ArpRequest("192.168.254.1", "10.1.0.5"), ArpOutcome::kInserter,
                "Arp. Inserter address. IPsrc=192.168.254.1, IPdst=10.1.0.5\n");
}

TEST_F(ArpReplyTest, AReplyOperationIsLeftAsItIs) {
  std::vector<uint8_t> frame = ArpRequest("192.168.254.1", "10.1.0.5");
  frame[21] = 0x03;
  EXPECT_EQ(Reply(frame), ArpOutcome::kAnswered);
  EXPECT_EQ(frame[21], 0x03);
}

}  // namespace
}  // namespace velmora
