#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "support/server_log.h"
#include "support/timer_service.h"

namespace velmora::l2tp {

// The states of the option negotiation automaton, numbered as RFC 1661 section 4.2 lists them.
enum class FsmState {
  kInitial,
  kStarting,
  kClosed,
  kStopped,
  kClosing,
  kStopping,
  kReqSent,
  kAckRcvd,
  kAckSent,
  kOpened
};
const char* FsmStateName(FsmState state);

// Packet codes of the automaton.
enum FsmCode : uint8_t {
  kConfigureRequest = 1,
  kConfigureAck = 2,
  kConfigureNak = 3,
  kConfigureReject = 4,
  kTerminateRequest = 5,
  kTerminateAck = 6,
  kCodeReject = 7,
};

// Whether options (type, length, value) each have a length of at least 2 within `options`.
bool OptionsWellFormed(std::span<const uint8_t> options);

// The answer to a Configure-Request once its options are judged: Reject with the rejected ones
// if any, else Nak with the suggestions if any, else Ack with the request's options.
uint8_t ConfigureAnswer(std::span<const uint8_t> options, const std::vector<uint8_t>& rejected,
                        const std::vector<uint8_t>& naked, std::vector<uint8_t>& answer);

// The protocol behind an automaton (LCP, IPCP): its options and what happens at the layer
// events. Called on the server thread by its CFsm only.
class FsmOwner {
 public:
  virtual ~FsmOwner() = default;
  virtual void ResetRequest() = 0;
  // Appends our Configure-Request options, at most `room` bytes.
  virtual void AddOptions(std::vector<uint8_t>& out, size_t room) = 0;
  // Whether an Ack, Nak or Reject of our last request (`our_request`, its options) is a proper
  // answer to it, and, for Nak and Reject, takes it into the next request. Options are well
  // formed (Nak, Reject) when these are called. An Ack repeats the request exactly.
  virtual bool AckCheck(std::span<const uint8_t> options, std::span<const uint8_t> our_request) {
    return std::equal(options.begin(), options.end(), our_request.begin(), our_request.end());
  }
  virtual bool NakCheck(std::span<const uint8_t> options) = 0;
  virtual bool RejectCheck(std::span<const uint8_t> options) = 0;
  // Judges the peer's Configure-Request: returns Ack, Nak or Reject and leaves in `answer` the
  // options that answer carries.
  virtual uint8_t RequestCheck(std::span<const uint8_t> options, std::vector<uint8_t>& answer,
                               bool reject_if_disagree) = 0;
  virtual void Up() = 0;
  virtual void Down() = 0;
  virtual void Starting() {}
  virtual void Finished() {}
  // A code the automaton does not know; true when the owner handled it.
  virtual bool ExtendedCode(uint8_t /*code*/, uint8_t /*id*/, std::span<const uint8_t> /*data*/) {
    return false;
  }
  // A whole frame from 0xFF 0x03 on, to the peer.
  virtual void Output(std::span<const uint8_t> frame) = 0;
};

// The PPP option negotiation automaton of RFC 1661 section 4: the state table, the restart timer
// and its counters (Max-Configure, Max-Terminate, Max-Failure), shared by LCP and IPCP through
// their FsmOwner. Packets are checked against their own length field and what was received.
// Owned by its protocol object; server thread only.
class CFsm {
 public:
  static constexpr auto kRestartTime = std::chrono::seconds(3);
  static constexpr int kMaxConfigure = 10;
  static constexpr int kMaxTerminate = 2;
  static constexpr int kMaxFailure = 5;

  CFsm(FsmOwner& owner, TimerService& timers, ServerLog& log, uint16_t protocol);
  ~CFsm();
  CFsm(const CFsm&) = delete;
  CFsm& operator=(const CFsm&) = delete;

  void Open();
  void Close(const std::string& reason);
  void LowerUp();
  void LowerDown();
  // One packet of the protocol (code, identifier, length, data), as received.
  void Input(std::span<const uint8_t> packet);
  // Sends one packet of the protocol, its data cut to the peer's MRU - 4.
  void Send(uint8_t code, uint8_t id, std::span<const uint8_t> data);
  uint8_t NextId() { return ++id_; }

  FsmState state() const { return state_; }
  uint16_t protocol() const { return protocol_; }
  bool passive = false;
  bool silent = false;
  bool restart = false;
  uint16_t peer_mru = 4096;

 private:
  void SendConfigureRequest(bool retransmit);
  // A new Configure-Request from Req-Sent on; the layer goes down first if it was up.
  void RestartNegotiation();
  void SendTerminateRequest();
  void StartTimer();
  void OnTimeout();
  void EnterClosingOrStopping(FsmState target);
  void ConfigureRequest(uint8_t id, std::span<const uint8_t> options);
  void ConfigureAck(uint8_t id, std::span<const uint8_t> options);
  void ConfigureNakOrReject(uint8_t code, uint8_t id, std::span<const uint8_t> options);
  void TerminateRequest(uint8_t id);
  void TerminateAck();
  void CodeReject(std::span<const uint8_t> data);

  FsmOwner& owner_;
  TimerService& timers_;
  ServerLog& log_;
  uint16_t protocol_;
  FsmState state_ = FsmState::kInitial;
  uint8_t id_ = 0;
  uint8_t request_id_ = 0;
  bool answer_seen_ = false;
  int retransmits_ = 0;
  int naks_ = 0;
  std::string reason_;
  std::vector<uint8_t> request_;  // the options of our last Configure-Request
  TimerService::Handle timer_;
};

}  // namespace velmora::l2tp
