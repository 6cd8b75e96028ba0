// The option negotiation automaton through RFC 1661's transitions, with a scripted owner and
// peer on a simulated clock.

#include "l2tp/ppp/fsm.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmora::l2tp {
namespace {

using Bytes = std::vector<uint8_t>;
using std::chrono::seconds;

class ScriptedOwner final : public FsmOwner {
 public:
  void ResetRequest() override { events.push_back("reset"); }
  void AddOptions(Bytes& out, size_t room) override {
    out = request;
    if (out.size() > room) out.resize(room);
  }
  bool AckCheck(std::span<const uint8_t> o, std::span<const uint8_t>) override {
    return Bytes(o.begin(), o.end()) == request;
  }
  bool NakCheck(std::span<const uint8_t>) override { return nak_ok; }
  bool RejectCheck(std::span<const uint8_t>) override { return true; }
  uint8_t RequestCheck(std::span<const uint8_t> o, Bytes& answer, bool reject) override {
    rejecting = reject;
    answer.assign(o.begin(), o.end());
    return verdict;
  }
  void Up() override { events.push_back("up"); }
  void Down() override { events.push_back("down"); }
  void Starting() override { events.push_back("starting"); }
  void Finished() override { events.push_back("finished"); }
  void Output(std::span<const uint8_t> frame) override {
    sent.emplace_back(frame.begin(), frame.end());
  }

  Bytes request = {5, 6, 0, 0, 0, 1};  // one option of our own
  uint8_t verdict = kConfigureAck;
  bool nak_ok = true;
  bool rejecting = false;
  std::vector<std::string> events;
  std::vector<Bytes> sent;
};

class FsmTest : public ::testing::Test {
 protected:
  // The server's way: open passive and silent, then the lower layer comes up.
  void SetUp() override {
    fsm_.passive = fsm_.silent = true;
    fsm_.Open();
    fsm_.LowerUp();
  }
  void Peer(uint8_t code, uint8_t id, const Bytes& data = {}) {
    Bytes packet = {code, id, 0, static_cast<uint8_t>(4 + data.size())};
    packet.insert(packet.end(), data.begin(), data.end());
    fsm_.Input(packet);
  }
  // The codes of the packets sent since the last call.
  std::vector<int> Codes() {
    std::vector<int> codes;
    for (; seen_ < owner_.sent.size(); ++seen_) codes.push_back(owner_.sent[seen_][4]);
    return codes;
  }
  uint8_t LastId() const { return owner_.sent.back()[5]; }
  uint8_t LastRequestId() const {
    for (auto it = owner_.sent.rbegin(); it != owner_.sent.rend(); ++it) {
      if ((*it)[4] == kConfigureRequest) return (*it)[5];
    }
    return 0;
  }
  void Run(Clock::Duration d) {
    for (Clock::Duration done{}; done < d; done += std::chrono::milliseconds(100)) {
      clock_.Advance(std::chrono::milliseconds(100));
      timers_.RunDue();
    }
  }
  // Up to Opened: the peer's request acknowledged, ours acknowledged by the peer.
  void OpenLink() {
    Peer(kConfigureRequest, 1, {1, 4, 5, 0xdc});
    Peer(kConfigureAck, owner_.sent[0][5], owner_.request);
    ASSERT_EQ(fsm_.state(), FsmState::kOpened);
    Codes();
  }

  SimulatedClock clock_;
  ServerLog log_{clock_, [this](std::string line) { lines_.push_back(std::move(line)); }};
  TimerService timers_{clock_};
  ScriptedOwner owner_;
  CFsm fsm_{owner_, timers_, log_, 0xC021};
  std::vector<std::string> lines_;
  size_t seen_ = 0;
};

TEST_F(FsmTest, APassiveLinkWaitsAndOpensOnThePeersRequest) {
  EXPECT_EQ(fsm_.state(), FsmState::kStopped);
  Run(seconds(30));
  EXPECT_TRUE(owner_.sent.empty());  // silent: nothing until the peer speaks
  Peer(kConfigureRequest, 7, {1, 4, 5, 0xdc});
  EXPECT_EQ(Codes(), (std::vector<int>{kConfigureRequest, kConfigureAck}));
  EXPECT_EQ(owner_.sent[0], (Bytes{0xff, 0x03, 0xc0, 0x21, 1, 1, 0, 10, 5, 6, 0, 0, 0, 1}));
  EXPECT_EQ(owner_.sent[1][5], 7);  // the Ack carries the request's identifier
  EXPECT_EQ(fsm_.state(), FsmState::kAckSent);
  Peer(kConfigureAck, 99, owner_.request);  // not our identifier: ignored
  EXPECT_EQ(fsm_.state(), FsmState::kAckSent);
  Peer(kConfigureAck, 1, owner_.request);
  EXPECT_EQ(fsm_.state(), FsmState::kOpened);
  EXPECT_EQ(owner_.events, (std::vector<std::string>{"starting", "reset", "up"}));
  Peer(kConfigureAck, 1, owner_.request);  // a second answer to the same request: ignored
  EXPECT_EQ(fsm_.state(), FsmState::kOpened);
}

TEST_F(FsmTest, RequestsAreRetransmittedTenTimesThenAPassiveLinkStops) {
  owner_.verdict = kConfigureNak;
  Peer(kConfigureRequest, 1);
  EXPECT_EQ(fsm_.state(), FsmState::kReqSent);
  Codes();
  Run(seconds(60));
  const std::vector<int> codes = Codes();
  EXPECT_EQ(codes, std::vector<int>(9, kConfigureRequest));  // 10 in all, 3 s apart
  EXPECT_EQ(LastId(), 1);                                    // retransmissions keep the identifier
  EXPECT_EQ(fsm_.state(), FsmState::kStopped);
  EXPECT_EQ(std::count(owner_.events.begin(), owner_.events.end(), "finished"), 0);
}

TEST_F(FsmTest, MaxFailureTurnsNaksIntoRejections) {
  owner_.verdict = kConfigureNak;
  for (int i = 0; i < CFsm::kMaxFailure; ++i) {
    Peer(kConfigureRequest, static_cast<uint8_t>(i));
    EXPECT_FALSE(owner_.rejecting) << i;
  }
  Peer(kConfigureRequest, 9);
  EXPECT_TRUE(owner_.rejecting);
}

TEST_F(FsmTest, TerminationFromEitherSide) {
  OpenLink();
  // The peer terminates: Down, Terminate-Ack, Stopping, and after the restart time Stopped.
  Peer(kTerminateRequest, 4);
  EXPECT_EQ(Codes(), (std::vector<int>{kTerminateAck}));
  EXPECT_EQ(fsm_.state(), FsmState::kStopping);
  Run(seconds(4));
  EXPECT_EQ(fsm_.state(), FsmState::kStopped);
  EXPECT_EQ(owner_.events.back(), "finished");

  // We close: Terminate-Request with the reason twice, then Closed.
  Peer(kConfigureRequest, 5, {1, 4, 5, 0xdc});
  Peer(kConfigureAck, owner_.sent.end()[-2][5], owner_.request);
  ASSERT_EQ(fsm_.state(), FsmState::kOpened);
  Codes();
  fsm_.Close("Authentication failed");
  EXPECT_EQ(Codes(), (std::vector<int>{kTerminateRequest}));
  EXPECT_EQ(std::string(owner_.sent.back().begin() + 8, owner_.sent.back().end()),
            "Authentication failed");
  Run(seconds(10));
  EXPECT_EQ(Codes(), (std::vector<int>{kTerminateRequest}));
  EXPECT_EQ(fsm_.state(), FsmState::kClosed);
  // Closed answers a request with Terminate-Ack.
  Peer(kConfigureRequest, 6);
  EXPECT_EQ(Codes(), (std::vector<int>{kTerminateAck}));
}

TEST_F(FsmTest, BadPacketsAndUnknownCodes) {
  OpenLink();
  fsm_.Input(Bytes{kConfigureRequest, 1, 0, 40, 1, 4});  // length beyond the packet
  fsm_.Input(Bytes{kConfigureRequest, 1, 0, 3});
  fsm_.Input(Bytes{kConfigureRequest, 1});
  EXPECT_TRUE(Codes().empty());
  EXPECT_EQ(fsm_.state(), FsmState::kOpened);
  Peer(12, 3, {1, 2, 3});
  const std::vector<int> codes = Codes();
  ASSERT_EQ(codes, (std::vector<int>{kCodeReject}));
  EXPECT_EQ(Bytes(owner_.sent.back().begin() + 8, owner_.sent.back().end()),
            (Bytes{12, 3, 0, 7, 1, 2, 3}));
  // Data is cut to the peer's MRU - 4.
  fsm_.peer_mru = 10;
  fsm_.Send(kCodeReject, 1, Bytes(100, 0));
  EXPECT_EQ(owner_.sent.back().size(), 4u + 4u + 6u);
  Codes();
  // A crossed Configure-Request in Opened renegotiates.
  fsm_.peer_mru = 1500;
  Peer(kConfigureRequest, 8);
  EXPECT_EQ(Codes().front(), kConfigureRequest);
  EXPECT_EQ(fsm_.state(), FsmState::kAckSent);
  EXPECT_EQ(owner_.events.back(), "reset");
  // A Nak the owner refuses is logged and ignored.
  owner_.nak_ok = false;
  Peer(kConfigureNak, LastRequestId());
  EXPECT_FALSE(lines_.empty());
  EXPECT_EQ(lines_.back(), "Error: Received bad Configure-Nak/Rej");
}

// Drives a fresh automaton to `state` the way a peer would.
void DriveTo(CFsm& fsm, ScriptedOwner& owner, FsmState state) {
  const auto peer = [&](uint8_t code, uint8_t id, const Bytes& data = {}) {
    Bytes packet = {code, id, 0, static_cast<uint8_t>(4 + data.size())};
    packet.insert(packet.end(), data.begin(), data.end());
    fsm.Input(packet);
  };
  fsm.passive = fsm.silent = true;
  if (state == FsmState::kInitial) return;
  fsm.Open();
  if (state == FsmState::kStarting) return;
  fsm.LowerUp();
  switch (state) {
    case FsmState::kStopped:
      return;
    case FsmState::kClosed:
      fsm.Close("x");
      return;
    case FsmState::kReqSent:
      owner.verdict = kConfigureNak;
      peer(kConfigureRequest, 1);
      owner.verdict = kConfigureAck;
      return;
    case FsmState::kAckSent:
      peer(kConfigureRequest, 1);
      return;
    case FsmState::kAckRcvd:
      owner.verdict = kConfigureNak;
      peer(kConfigureRequest, 1);
      owner.verdict = kConfigureAck;
      peer(kConfigureAck, 1, owner.request);
      return;
    case FsmState::kOpened:
      peer(kConfigureRequest, 1);
      peer(kConfigureAck, 1, owner.request);
      return;
    case FsmState::kClosing:
      peer(kConfigureRequest, 1);
      fsm.Close("x");
      return;
    case FsmState::kStopping:
      peer(kConfigureRequest, 1);
      peer(kConfigureAck, 1, owner.request);
      peer(kTerminateRequest, 2);
      return;
    default:
      return;
  }
}

TEST(FsmTableTest, LayerEventsFromEveryState) {
  using S = FsmState;
  struct Row {
    S from;
    S after_down, after_close, after_terminate_ack;
  };
  // RFC 1661's Down, Close and RTA columns (passive and silent automaton).
  const Row rows[] = {
      {S::kStarting, S::kStarting, S::kInitial, S::kStarting},
      {S::kClosed, S::kInitial, S::kClosed, S::kClosed},
      {S::kStopped, S::kStarting, S::kClosed, S::kStopped},
      {S::kClosing, S::kInitial, S::kClosing, S::kClosed},
      {S::kStopping, S::kStarting, S::kClosing, S::kStopped},
      {S::kReqSent, S::kStarting, S::kClosing, S::kReqSent},
      {S::kAckRcvd, S::kStarting, S::kClosing, S::kReqSent},
      {S::kAckSent, S::kStarting, S::kClosing, S::kAckSent},
      {S::kOpened, S::kStarting, S::kClosing, S::kReqSent},
  };
  for (const Row& row : rows) {
    SimulatedClock clock;
    ServerLog log(clock, [](std::string) {});
    TimerService timers(clock);
    const auto fresh = [&](ScriptedOwner& owner) {
      auto fsm = std::make_unique<CFsm>(owner, timers, log, 0xC021);
      DriveTo(*fsm, owner, row.from);
      EXPECT_EQ(fsm->state(), row.from) << FsmStateName(row.from);
      return fsm;
    };
    ScriptedOwner a, b, c;
    auto down = fresh(a);
    down->LowerDown();
    EXPECT_EQ(down->state(), row.after_down) << "Down in " << FsmStateName(row.from);
    auto close = fresh(b);
    close->Close("bye");
    EXPECT_EQ(close->state(), row.after_close) << "Close in " << FsmStateName(row.from);
    auto ack = fresh(c);
    ack->Input(Bytes{kTerminateAck, 9, 0, 4});
    EXPECT_EQ(ack->state(), row.after_terminate_ack) << "RTA in " << FsmStateName(row.from);
  }
}

}  // namespace
}  // namespace velmora::l2tp
