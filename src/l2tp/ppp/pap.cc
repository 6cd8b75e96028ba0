#include "l2tp/ppp/pap.h"

#include "l2tp/ppp/ppp_frame.h"

#include <string>
#include <vector>

namespace velmora::l2tp {

namespace {

constexpr uint8_t kAuthenticateRequest = 1;
constexpr uint8_t kAuthenticateAck = 2;
constexpr uint8_t kAuthenticateNak = 3;

}  // namespace

void CPap::Start() {
  if (state_ == State::kInitial || state_ == State::kPending) {
    state_ = State::kPending;
    return;
  }
  state_ = State::kListen;
  parts_.timers.Cancel(timer_);
  timer_ = parts_.timers.Create(kRequestTimeout, [this] {
    timer_ = {};
    if (state_ != State::kListen) return;
    parts_.log.Error("PAP timed out waiting for authenticate-request");
    state_ = State::kBadAuth;
    parts_.done(false);
  });
}

void CPap::Stop() {
  parts_.timers.Cancel(timer_);
  state_ = State::kClosed;
}

void CPap::Input(std::span<uint8_t> packet) {
  if (packet.size() < 4) return;
  const size_t length = size_t{packet[2]} << 8 | packet[3];
  if (length < 4 || length > packet.size() || packet[0] != kAuthenticateRequest) return;
  const uint8_t id = packet[1];
  switch (state_) {
    case State::kOpen:
      Answer(kAuthenticateAck, id, "");
      break;
    case State::kBadAuth:
      Answer(kAuthenticateNak, id, "");
      break;
    case State::kListen:
      Judge(id, packet.subspan(4, length - 4));
      break;
    default:
      break;  // not listening yet
  }
}

void CPap::Judge(uint8_t id, std::span<uint8_t> data) {
  if (data.empty() || data[0] + 1u >= data.size()) return;
  const size_t name_length = data[0];
  const size_t password_length = data[1 + name_length];
  if (2 + name_length + password_length > data.size()) return;
  const std::string name(reinterpret_cast<const char*>(&data[1]), name_length);
  const std::span<uint8_t> given = data.subspan(2 + name_length, password_length);
  std::optional<std::string> password = parts_.password_of(name);
  // An empty password logs nobody in.
  const bool good = password && !password->empty() && password->size() == given.size() &&
                    std::equal(given.begin(), given.end(), password->begin());
  if (password) Wipe(*password);
  Wipe(given);
  parts_.timers.Cancel(timer_);
  state_ = good ? State::kOpen : State::kBadAuth;
  Answer(good ? kAuthenticateAck : kAuthenticateNak, id, good ? "Welcome" : "Access denied");
  parts_.done(good);
}

void CPap::Answer(uint8_t code, uint8_t id, std::string_view message) {
  std::vector<uint8_t> data = {static_cast<uint8_t>(message.size())};
  data.insert(data.end(), message.begin(), message.end());
  parts_.output(PppFrame(kProtocolPap, code, id, data));
}

}  // namespace velmora::l2tp
