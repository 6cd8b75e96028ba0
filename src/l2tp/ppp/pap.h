#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "l2tp/ppp/authentication.h"

namespace velmora::l2tp {

// The server side of PAP (RFC 1334): waits 30 s for the user's Authenticate-Request and answers
// it from the user list; the password in the received packet is wiped. Each start waits anew;
// a stop (LCP down) ends the wait. Owned by the link; server thread only.
class CPap {
 public:
  enum class State { kInitial, kClosed, kPending, kListen, kOpen, kBadAuth };
  static constexpr auto kRequestTimeout = std::chrono::seconds(30);

  explicit CPap(AuthenticationParts parts) : parts_(std::move(parts)) {}
  ~CPap() { parts_.timers.Cancel(timer_); }

  void Start();
  void Stop();
  // A PAP packet (code, identifier, length, data); writable, so that the password can be wiped.
  void Input(std::span<uint8_t> packet);
  State state() const { return state_; }

 private:
  void Answer(uint8_t code, uint8_t id, std::string_view message);
  void Judge(uint8_t id, std::span<uint8_t> data);

  AuthenticationParts parts_;
  State state_ = State::kClosed;
  TimerService::Handle timer_;
};

}  // namespace velmora::l2tp
