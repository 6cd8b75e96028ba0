#include "l2tp/ppp/chap.h"

#include "l2tp/ppp/ppp_frame.h"
#include "support/md5.h"

namespace velmora::l2tp {

namespace {

constexpr uint8_t kChallenge = 1;
constexpr uint8_t kResponse = 2;
constexpr uint8_t kSuccess = 3;
constexpr uint8_t kFailure = 4;
constexpr char kWelcome[] = "Welcome to Tessaro L2TP LNS server";
constexpr char kGoAway[] = "I don't like you.  Go away.";

}  // namespace

void CChap::Start() {
  if (state_ == State::kInitial || state_ == State::kPending) {
    state_ = State::kPending;
    return;
  }
  NewChallenge();
  SendChallenge();
  state_ = State::kInitialChallenge;
}

void CChap::Stop() {
  parts_.timers.Cancel(timer_);
  state_ = State::kClosed;
}

void CChap::NewChallenge() {
  challenge_id_ = ++next_id_;
  transmissions_ = 0;
  uint8_t length = 0;
  parts_.random_bytes({&length, 1});
  challenge_.assign(16 + length % 8, 0);
  parts_.random_bytes(challenge_);
}

void CChap::SendChallenge() {
  std::vector<uint8_t> data = {static_cast<uint8_t>(challenge_.size())};
  data.insert(data.end(), challenge_.begin(), challenge_.end());
  data.insert(data.end(), our_name_.begin(), our_name_.end());
  parts_.output(PppFrame(kProtocolChap, kChallenge, challenge_id_, data));
  ++transmissions_;
  parts_.timers.Cancel(timer_);
  timer_ = parts_.timers.Create(kChallengeTimeout, [this] {
    timer_ = {};
    OnTimeout();
  });
}

void CChap::OnTimeout() {
  if (state_ != State::kInitialChallenge && state_ != State::kRechallenge) return;
  if (transmissions_ >= kMaxTransmissions) {
    parts_.log.Error("Peer failed to respond to CHAP challenge");
    state_ = State::kBadAuth;
    parts_.done(false);
    return;
  }
  SendChallenge();
}

void CChap::Input(std::span<const uint8_t> packet) {
  if (packet.size() < 4) return;
  const size_t length = size_t{packet[2]} << 8 | packet[3];
  if (length < 4 || length > packet.size() || packet[0] != kResponse) return;
  const uint8_t id = packet[1];
  if (state_ == State::kClosed || state_ == State::kPending || id != challenge_id_) return;
  if (state_ == State::kOpen) return Answer(kSuccess, id, kWelcome);
  if (state_ == State::kBadAuth) return Answer(kFailure, id, kGoAway);
  Respond(id, packet.subspan(4, length - 4));
}

void CChap::Respond(uint8_t id, std::span<const uint8_t> data) {
  if (data.empty() || 1u + data[0] > data.size()) return;
  parts_.timers.Cancel(timer_);
  const std::span<const uint8_t> value = data.subspan(1, data[0]);
  const std::span<const uint8_t> rest = data.subspan(1 + data[0]);
  const std::string name(reinterpret_cast<const char*>(rest.data()),
                         std::min<size_t>(rest.size(), 255));
  std::optional<std::string> secret = parts_.password_of(name);
  bool good = false;
  if (secret && !secret->empty() && value.size() == 16) {
    const uint8_t id_byte[1] = {id};
    Md5Digest expected =
        Md5()
            .Update(id_byte)
            .Update({reinterpret_cast<const uint8_t*>(secret->data()), secret->size()})
            .Update(challenge_)
            .Final();
    good = std::equal(value.begin(), value.end(), expected.begin());
    Wipe(expected);
  }
  if (secret) Wipe(*secret);
  const bool first = state_ == State::kInitialChallenge;
  if (!good) {
    Answer(kFailure, id, kGoAway);
    parts_.log.Error("CHAP peer authentication failed for remote host " + name);
    state_ = State::kBadAuth;
    parts_.done(false);
    return;
  }
  Answer(kSuccess, id, kWelcome);
  state_ = State::kOpen;
  if (first) parts_.done(true);
}

void CChap::Answer(uint8_t code, uint8_t id, std::string_view message) {
  parts_.output(PppFrame(kProtocolChap, code, id,
                         {reinterpret_cast<const uint8_t*>(message.data()), message.size()}));
}

}  // namespace velmora::l2tp
