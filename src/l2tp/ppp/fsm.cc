#include "l2tp/ppp/fsm.h"

#include "l2tp/ppp/ppp_frame.h"

namespace velmora::l2tp {

const char* FsmStateName(FsmState state) {
  static const char* const kNames[] = {"Initial",  "Starting", "Closed",   "Stopped",  "Closing",
                                       "Stopping", "Req-Sent", "Ack-Rcvd", "Ack-Sent", "Opened"};
  return kNames[static_cast<int>(state)];
}

CFsm::CFsm(FsmOwner& owner, TimerService& timers, ServerLog& log, uint16_t protocol)
    : owner_(owner), timers_(timers), log_(log), protocol_(protocol) {}

CFsm::~CFsm() {
  timers_.Cancel(timer_);
}

// --- layer events -----------------------------------------------------------------------------

void CFsm::Open() {
  switch (state_) {
    case FsmState::kInitial:
      state_ = FsmState::kStarting;
      owner_.Starting();
      break;
    case FsmState::kClosed:
      if (silent) {
        state_ = FsmState::kStopped;
      } else {
        SendConfigureRequest(false);
        state_ = FsmState::kReqSent;
      }
      break;
    case FsmState::kClosing:
      state_ = FsmState::kStopping;
      [[fallthrough]];
    case FsmState::kStopped:
    case FsmState::kOpened:
      if (restart) {
        LowerDown();
        LowerUp();
      }
      break;
    default:
      break;
  }
}

void CFsm::LowerUp() {
  if (state_ == FsmState::kInitial) {
    state_ = FsmState::kClosed;
  } else if (state_ == FsmState::kStarting) {
    if (silent) {
      state_ = FsmState::kStopped;
    } else {
      SendConfigureRequest(false);
      state_ = FsmState::kReqSent;
    }
  }
}

void CFsm::LowerDown() {
  switch (state_) {
    case FsmState::kClosed:
      state_ = FsmState::kInitial;
      break;
    case FsmState::kStopped:
      state_ = FsmState::kStarting;
      owner_.Starting();
      break;
    case FsmState::kClosing:
      timers_.Cancel(timer_);
      state_ = FsmState::kInitial;
      break;
    case FsmState::kStopping:
    case FsmState::kReqSent:
    case FsmState::kAckRcvd:
    case FsmState::kAckSent:
      timers_.Cancel(timer_);
      state_ = FsmState::kStarting;
      break;
    case FsmState::kOpened:
      owner_.Down();
      state_ = FsmState::kStarting;
      break;
    default:
      break;
  }
}

void CFsm::Close(const std::string& reason) {
  reason_ = reason;
  switch (state_) {
    case FsmState::kStarting:
      state_ = FsmState::kInitial;
      owner_.Finished();
      break;
    case FsmState::kStopped:
      state_ = FsmState::kClosed;
      break;
    case FsmState::kStopping:
      state_ = FsmState::kClosing;
      break;
    case FsmState::kReqSent:
    case FsmState::kAckRcvd:
    case FsmState::kAckSent:
    case FsmState::kOpened:
      if (state_ == FsmState::kOpened) owner_.Down();
      retransmits_ = kMaxTerminate;
      SendTerminateRequest();
      state_ = FsmState::kClosing;
      break;
    default:
      break;
  }
}

void CFsm::OnTimeout() {
  switch (state_) {
    case FsmState::kClosing:
    case FsmState::kStopping:
      if (retransmits_ <= 0) {
        state_ = state_ == FsmState::kClosing ? FsmState::kClosed : FsmState::kStopped;
        owner_.Finished();
      } else {
        SendTerminateRequest();
      }
      break;
    case FsmState::kReqSent:
    case FsmState::kAckRcvd:
    case FsmState::kAckSent:
      if (retransmits_ <= 0) {
        state_ = FsmState::kStopped;
        if (!passive) owner_.Finished();
      } else {
        if (state_ == FsmState::kAckRcvd) state_ = FsmState::kReqSent;
        SendConfigureRequest(true);
      }
      break;
    default:
      break;
  }
}

// --- receiving --------------------------------------------------------------------------------

void CFsm::Input(std::span<const uint8_t> packet) {
  if (packet.size() < 4) return;
  const size_t length = size_t{packet[2]} << 8 | packet[3];
  if (length < 4 || length > packet.size()) return;  // the length field lies
  if (state_ == FsmState::kInitial || state_ == FsmState::kStarting) return;
  const uint8_t code = packet[0], id = packet[1];
  const std::span<const uint8_t> data = packet.subspan(4, length - 4);
  switch (code) {
    case kConfigureRequest:
      ConfigureRequest(id, data);
      break;
    case kConfigureAck:
      ConfigureAck(id, data);
      break;
    case kConfigureNak:
    case kConfigureReject:
      ConfigureNakOrReject(code, id, data);
      break;
    case kTerminateRequest:
      TerminateRequest(id);
      break;
    case kTerminateAck:
      TerminateAck();
      break;
    case kCodeReject:
      CodeReject(data);
      break;
    default:
      if (!owner_.ExtendedCode(code, id, data)) Send(kCodeReject, NextId(), packet.first(length));
  }
}

uint8_t ConfigureAnswer(std::span<const uint8_t> options, const std::vector<uint8_t>& rejected,
                        const std::vector<uint8_t>& naked, std::vector<uint8_t>& answer) {
  if (!rejected.empty()) {
    answer = rejected;
    return kConfigureReject;
  }
  if (!naked.empty()) {
    answer = naked;
    return kConfigureNak;
  }
  answer.assign(options.begin(), options.end());
  return kConfigureAck;
}

bool OptionsWellFormed(std::span<const uint8_t> options) {
  for (size_t at = 0; at < options.size();) {
    if (options.size() - at < 2 || options[at + 1] < 2 || options[at + 1] > options.size() - at) {
      return false;
    }
    at += options[at + 1];
  }
  return true;
}

void CFsm::ConfigureRequest(uint8_t id, std::span<const uint8_t> options) {
  if (!OptionsWellFormed(options)) return;  // an option length of 0 or 1, or past the end
  switch (state_) {
    case FsmState::kClosed:
      Send(kTerminateAck, id, {});
      return;
    case FsmState::kClosing:
    case FsmState::kStopping:
      return;
    case FsmState::kOpened:
    case FsmState::kStopped:
      RestartNegotiation();
      break;
    default:
      break;
  }
  std::vector<uint8_t> answer;
  const uint8_t code = owner_.RequestCheck(options, answer, naks_ >= kMaxFailure);
  Send(code, id, answer);
  if (code == kConfigureAck) {
    naks_ = 0;
    if (state_ == FsmState::kAckRcvd) {
      timers_.Cancel(timer_);
      state_ = FsmState::kOpened;
      owner_.Up();
    } else {
      state_ = FsmState::kAckSent;
    }
    return;
  }
  if (state_ != FsmState::kAckRcvd) state_ = FsmState::kReqSent;
  if (code == kConfigureNak) ++naks_;
}

void CFsm::ConfigureAck(uint8_t id, std::span<const uint8_t> options) {
  if (id != request_id_ || answer_seen_) return;
  if (!owner_.AckCheck(options, request_)) {
    log_.Error("Received bad Configure-Ack");
    return;
  }
  answer_seen_ = true;
  switch (state_) {
    case FsmState::kClosed:
    case FsmState::kStopped:
      Send(kTerminateAck, id, {});
      break;
    case FsmState::kReqSent:
      state_ = FsmState::kAckRcvd;
      retransmits_ = kMaxConfigure;
      break;
    case FsmState::kAckSent:
      timers_.Cancel(timer_);
      state_ = FsmState::kOpened;
      retransmits_ = kMaxConfigure;
      owner_.Up();
      break;
    case FsmState::kAckRcvd:  // a second Ack: the peer crossed ours
    case FsmState::kOpened:
      RestartNegotiation();
      break;
    default:
      break;
  }
}

void CFsm::ConfigureNakOrReject(uint8_t code, uint8_t id, std::span<const uint8_t> options) {
  if (id != request_id_ || answer_seen_) return;
  const bool taken =
      OptionsWellFormed(options) &&
      (code == kConfigureNak ? owner_.NakCheck(options) : owner_.RejectCheck(options));
  if (!taken) {
    log_.Error("Received bad Configure-Nak/Rej");
    return;
  }
  answer_seen_ = true;
  switch (state_) {
    case FsmState::kClosed:
    case FsmState::kStopped:
      Send(kTerminateAck, id, {});
      break;
    case FsmState::kReqSent:
    case FsmState::kAckSent:
      SendConfigureRequest(false);
      break;
    case FsmState::kAckRcvd:
    case FsmState::kOpened:
      RestartNegotiation();
      break;
    default:
      break;
  }
}

void CFsm::TerminateRequest(uint8_t id) {
  switch (state_) {
    case FsmState::kAckRcvd:
    case FsmState::kAckSent:
      state_ = FsmState::kReqSent;
      break;
    case FsmState::kOpened:
      owner_.Down();
      retransmits_ = 0;
      StartTimer();
      state_ = FsmState::kStopping;
      break;
    default:
      break;
  }
  Send(kTerminateAck, id, {});
}

void CFsm::TerminateAck() {
  switch (state_) {
    case FsmState::kClosing:
    case FsmState::kStopping:
      timers_.Cancel(timer_);
      state_ = state_ == FsmState::kClosing ? FsmState::kClosed : FsmState::kStopped;
      owner_.Finished();
      break;
    case FsmState::kAckRcvd:
      state_ = FsmState::kReqSent;
      break;
    case FsmState::kOpened:
      RestartNegotiation();
      break;
    default:
      break;
  }
}

void CFsm::CodeReject(std::span<const uint8_t> /*data*/) {
  if (state_ == FsmState::kAckRcvd) state_ = FsmState::kReqSent;
}

// --- sending ----------------------------------------------------------------------------------

void CFsm::RestartNegotiation() {
  if (state_ == FsmState::kOpened) owner_.Down();
  SendConfigureRequest(false);
  state_ = FsmState::kReqSent;
}

void CFsm::SendConfigureRequest(bool retransmit) {
  if (state_ != FsmState::kReqSent && state_ != FsmState::kAckRcvd &&
      state_ != FsmState::kAckSent) {
    owner_.ResetRequest();
    naks_ = 0;
  }
  if (!retransmit) {
    retransmits_ = kMaxConfigure;
    request_id_ = NextId();
  }
  answer_seen_ = false;
  request_.clear();
  owner_.AddOptions(request_, peer_mru > 4 ? peer_mru - 4u : 0u);
  Send(kConfigureRequest, request_id_, request_);
  --retransmits_;
  StartTimer();
}

void CFsm::SendTerminateRequest() {
  Send(kTerminateRequest, NextId(),
       {reinterpret_cast<const uint8_t*>(reason_.data()), reason_.size()});
  --retransmits_;
  StartTimer();
}

void CFsm::StartTimer() {
  timers_.Cancel(timer_);
  timer_ = timers_.Create(kRestartTime, [this] {
    timer_ = {};
    OnTimeout();
  });
}

void CFsm::Send(uint8_t code, uint8_t id, std::span<const uint8_t> data) {
  const size_t room = peer_mru > 4 ? peer_mru - 4u : 0u;
  owner_.Output(PppFrame(protocol_, code, id, data.first(std::min(data.size(), room))));
}

}  // namespace velmora::l2tp
