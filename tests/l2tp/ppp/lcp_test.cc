// LCP of the server against byte-exact frames of a scripted user.

#include "l2tp/ppp/lcp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace velmora::l2tp {
namespace {

using Bytes = std::vector<uint8_t>;

class RecordingLink final : public LcpEvents {
 public:
  void LcpUp() override { events.push_back("up"); }
  void LcpDown() override { events.push_back("down"); }
  void LcpFinished() override { events.push_back("finished"); }
  void Output(std::span<const uint8_t> frame) override {
    sent.emplace_back(frame.begin(), frame.end());
  }
  std::vector<std::string> events;
  std::vector<Bytes> sent;
};

class LcpTest : public ::testing::Test {
 protected:
  void SetUp() override { lcp_.Start(); }
  // An LCP packet of the user: code, id, options.
  void User(uint8_t code, uint8_t id, const Bytes& data) {
    Bytes packet = {code, id, 0, static_cast<uint8_t>(4 + data.size())};
    packet.insert(packet.end(), data.begin(), data.end());
    lcp_.Input(packet);
  }
  std::vector<Bytes> Sent() {
    std::vector<Bytes> out(link_.sent.begin() + static_cast<long>(seen_), link_.sent.end());
    seen_ = link_.sent.size();
    return out;
  }
  // The user's usual request and our Ack of it, then the user's Ack of ours: Opened.
  void OpenLink() {
    User(kConfigureRequest, 1, kUsualRequest);
    const Bytes ours = Sent().at(0);
    User(kConfigureAck, ours[5], Bytes(ours.begin() + 8, ours.end()));
    ASSERT_EQ(lcp_.fsm().state(), FsmState::kOpened);
  }

  // MRU 1400, ACCM 0, Magic 0x01020304, PFC, ACFC.
  const Bytes kUsualRequest = {1, 4, 0x05, 0x78, 2, 6, 0, 0, 0, 0, 5, 6, 1, 2, 3, 4, 7, 2, 8, 2};
  SimulatedClock clock_;
  std::vector<std::string> lines_;
  ServerLog log_{clock_, [this](std::string line) { lines_.push_back(std::move(line)); }};
  TimerService timers_{clock_};
  RecordingLink link_;
  CLcp lcp_{link_, timers_, log_, [](std::span<uint8_t> out) {
              for (size_t i = 0; i < out.size(); ++i)
                out[i] = static_cast<uint8_t>(0x12 + 0x22 * i);
            }};
  size_t seen_ = 0;
};

TEST_F(LcpTest, TheUsersFirstRequestGetsOursThenAnAck) {
  EXPECT_TRUE(link_.sent.empty());
  User(kConfigureRequest, 1, kUsualRequest);
  const std::vector<Bytes> sent = Sent();
  ASSERT_EQ(sent.size(), 2u);
  // ACCM 0, CHAP with MD5, Magic 0x1234, PFC, ACFC.
  EXPECT_EQ(sent[0], (Bytes{0xff, 0x03, 0xc0, 0x21, 1, 1, 0, 25, 2,    6,    0, 0, 0, 0, 3,
                            5,    0xc2, 0x23, 5,    5, 6, 0, 0,  0x12, 0x34, 7, 2, 8, 2}));
  Bytes ack = {0xff, 0x03, 0xc0, 0x21, 2, 1, 0, 24};
  ack.insert(ack.end(), kUsualRequest.begin(), kUsualRequest.end());
  EXPECT_EQ(sent[1], ack);
  User(kConfigureAck, 1, Bytes(sent[0].begin() + 8, sent[0].end()));
  EXPECT_EQ(lcp_.fsm().state(), FsmState::kOpened);
  EXPECT_EQ(link_.events, (std::vector<std::string>{"up"}));
  EXPECT_TRUE(lcp_.got().chap);
  EXPECT_EQ(lcp_.his().mru_value, 1400);
  EXPECT_EQ(lcp_.his().magic_value, 0x01020304u);
}

TEST_F(LcpTest, RequestsTheServerNaksOrRejects) {
  User(kConfigureRequest, 1, {1, 4, 0, 100});  // MRU 100
  EXPECT_EQ(Sent().back(), (Bytes{0xff, 0x03, 0xc0, 0x21, 3, 1, 0, 8, 1, 4, 0, 128}));
  User(kConfigureRequest, 2, {3, 5, 0xc2, 0x23, 0x80});  // CHAP with algorithm 0x80
  EXPECT_EQ(Sent().back(), (Bytes{0xff, 0x03, 0xc0, 0x21, 3, 2, 0, 9, 3, 5, 0xc2, 0x23, 5}));
  User(kConfigureRequest, 3, {3, 5, 0xc2, 0x23, 5, 3, 4, 0xc0, 0x23});  // CHAP, then PAP too
  EXPECT_EQ(Sent().back(), (Bytes{0xff, 0x03, 0xc0, 0x21, 4, 3, 0, 8, 3, 4, 0xc0, 0x23}));
  User(kConfigureRequest, 4, {13, 3, 6, 1, 4, 5, 0xdc});  // Callback: rejected alone
  EXPECT_EQ(Sent().back(), (Bytes{0xff, 0x03, 0xc0, 0x21, 4, 4, 0, 7, 13, 3, 6}));
  User(kConfigureRequest, 5, {5, 6, 0, 0, 0x12, 0x34});  // our own magic: a loop?
  // The suggestion is not ours, though the random source draws it again.
  EXPECT_EQ(Sent().back(), (Bytes{0xff, 0x03, 0xc0, 0x21, 3, 5, 0, 10, 5, 6, 0, 0, 0x12, 0x35}));
  const size_t before = link_.sent.size();
  User(kConfigureRequest, 6, {1, 1, 7, 2});  // an option of length 1: the packet is dropped
  User(kConfigureRequest, 7, {1, 4, 5});     // an option past the end
  EXPECT_EQ(link_.sent.size(), before);
}

TEST_F(LcpTest, NaksAndRejectsOfOurRequest) {
  User(kConfigureRequest, 1, kUsualRequest);
  Bytes ours = Sent().at(0);
  User(kConfigureNak, ours[5], {3, 4, 0xc0, 0x23});  // the user would rather do PAP
  ours = Sent().at(0);
  EXPECT_EQ(Bytes(ours.begin() + 14, ours.begin() + 18), (Bytes{3, 4, 0xc0, 0x23}));
  User(kConfigureNak, ours[5], {3, 4, 0xc0, 0x23});  // PAP suggested for PAP: a bad Nak
  EXPECT_EQ(lines_.back(), "Error: Received bad Configure-Nak/Rej");
  User(kConfigureReject, ours[5], {3, 4, 0xc0, 0x23, 7, 2, 8, 2});
  ours = Sent().at(0);
  EXPECT_EQ(Bytes(ours.begin() + 8, ours.end()), (Bytes{2, 6, 0, 0, 0, 0, 5, 6, 0, 0, 0x12, 0x34}));
  EXPECT_FALSE(lcp_.got().chap);
  EXPECT_FALSE(lcp_.got().pap);
}

TEST_F(LcpTest, LoopbackIsDetectedAfterTenNaksOfTheMagicNumber) {
  User(kConfigureRequest, 1, kUsualRequest);
  for (int i = 0; i < CLcp::kLoopbackLimit; ++i) {
    const Bytes ours =
        link_.sent.back()[4] == kConfigureRequest ? link_.sent.back() : link_.sent.end()[-2];
    User(kConfigureNak, ours[5], {5, 6, 0, 0, 0x12, 0x34});
  }
  const Bytes last = link_.sent.back();
  EXPECT_EQ(last[4], kTerminateRequest);
  EXPECT_EQ(std::string(last.begin() + 8, last.end()), "Loopback detected");
}

TEST_F(LcpTest, AZeroMagicNumberIsNakedUntilMaxFailureThenRejected) {
  for (uint8_t id = 1; id <= CFsm::kMaxFailure; ++id) {
    User(kConfigureRequest, id, {5, 6, 0, 0, 0, 0, 7, 2});
    EXPECT_EQ(Sent().back(), (Bytes{0xff, 0x03, 0xc0, 0x21, 3, id, 0, 10, 5, 6, 0, 0, 0x12, 0x35}));
  }
  User(kConfigureRequest, 9, {5, 6, 0, 0, 0, 0, 7, 2});
  EXPECT_EQ(Sent().back(), (Bytes{0xff, 0x03, 0xc0, 0x21, 4, 9, 0, 10, 5, 6, 0, 0, 0, 0}));
  // Without the option the request is acknowledged; the user has no magic number.
  User(kConfigureRequest, 10, {7, 2});
  EXPECT_EQ(Sent().back(), (Bytes{0xff, 0x03, 0xc0, 0x21, 2, 10, 0, 6, 7, 2}));
}

TEST_F(LcpTest, OurMagicNumberIsNeverZero) {
  // Each element: the two bytes of one draw.
  const auto request_magic = [this](std::vector<Bytes> draws) {
    RecordingLink link;
    CLcp lcp(link, timers_, log_, [&draws](std::span<uint8_t> out) {
      const Bytes draw = draws.empty() ? Bytes{0, 0} : draws.front();
      if (!draws.empty()) draws.erase(draws.begin());
      std::copy(draw.begin(), draw.end(), out.begin());
    });
    lcp.Start();
    const Bytes request = {1, 1, 0, 4};
    lcp.Input(request);
    const Bytes ours = link.sent.at(0);
    return Bytes(ours.end() - 8, ours.end() - 4);  // the magic number before PFC and ACFC
  };
  EXPECT_EQ(request_magic({{0, 0}, {0x80, 0}, {0x03, 0x04}}), (Bytes{0, 0, 0x03, 0x04}));
  EXPECT_EQ(request_magic({}), (Bytes{0, 0, 0, 1}));  // a source stuck at zero
}

TEST_F(LcpTest, EchoAndCodesOfAnOpenLink) {
  OpenLink();
  Sent();
  User(9, 7, {0, 0, 0, 0, 'p', 'i', 'n', 'g'});
  EXPECT_EQ(Sent().at(0),
            (Bytes{0xff, 0x03, 0xc0, 0x21, 10, 7, 0, 12, 0, 0, 0x12, 0x34, 'p', 'i', 'n', 'g'}));
  User(9, 8, {0, 0});        // fewer than 4 data bytes: no reply
  User(8, 9, {0x80, 0xfd});  // Protocol-Reject: accepted quietly
  EXPECT_TRUE(Sent().empty());
  lcp_.RejectProtocol(Bytes{0x80, 0xfd, 1, 1, 0, 4});
  EXPECT_EQ(Sent().at(0), (Bytes{0xff, 0x03, 0xc0, 0x21, 8, 2, 0, 10, 0x80, 0xfd, 1, 1, 0, 4}));
}

TEST_F(LcpTest, ClosingAWaitingLinkFinishesItAtOnce) {
  lcp_.Close("Authentication failed");
  EXPECT_EQ(lcp_.fsm().state(), FsmState::kClosed);
  EXPECT_EQ(link_.events, (std::vector<std::string>{"finished"}));
  EXPECT_TRUE(link_.sent.empty());
  User(kConfigureRequest, 1, kUsualRequest);  // Closed answers with Terminate-Ack
  EXPECT_EQ(Sent().at(0)[4], kTerminateAck);
}

}  // namespace
}  // namespace velmora::l2tp
