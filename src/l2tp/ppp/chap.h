#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "l2tp/ppp/authentication.h"

namespace velmora::l2tp {

// The server side of CHAP with MD5 (RFC 1994): a random challenge of 16 to 23 bytes, sent up to
// ten times 3 s apart, and the user's response checked against MD5(identifier, password,
// challenge). A user with an empty password has no secret. A stop (LCP down) ends the challenges;
// the next start challenges anew. Owned by the link; server thread only.
class CChap {
 public:
  enum class State {
    kInitial,
    kClosed,
    kPending,
    kInitialChallenge,
    kOpen,
    kRechallenge,
    kBadAuth
  };
  static constexpr auto kChallengeTimeout = std::chrono::seconds(3);
  static constexpr int kMaxTransmissions = 10;

  CChap(AuthenticationParts parts, std::string our_name)
      : parts_(std::move(parts)), our_name_(std::move(our_name)) {}
  ~CChap() { parts_.timers.Cancel(timer_); }

  void Start();
  void Stop();
  void Input(std::span<const uint8_t> packet);
  State state() const { return state_; }
  std::span<const uint8_t> challenge() const { return challenge_; }
  uint8_t challenge_id() const { return challenge_id_; }

 private:
  void NewChallenge();
  void SendChallenge();
  void OnTimeout();
  void Respond(uint8_t id, std::span<const uint8_t> data);
  void Answer(uint8_t code, uint8_t id, std::string_view message);

  AuthenticationParts parts_;
  std::string our_name_;
  State state_ = State::kClosed;
  uint8_t next_id_ = 0;
  uint8_t challenge_id_ = 0;
  std::vector<uint8_t> challenge_;
  int transmissions_ = 0;
  TimerService::Handle timer_;
};

}  // namespace velmora::l2tp
