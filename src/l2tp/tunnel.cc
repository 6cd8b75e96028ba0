#include "l2tp/tunnel.h"

#include "l2tp/avp_table.h"
#include "platform/address_text.h"

namespace velmora::l2tp {

namespace {

constexpr uint16_t kProtocolVersion = 0x0100;
constexpr uint16_t kOurWindow = 4;
constexpr size_t kMaxHostName = 127;

std::span<const uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

Md5Digest ChallengeResponse(uint8_t id, std::span<const uint8_t> secret,
                            std::span<const uint8_t> challenge) {
  const uint8_t code[1] = {id};
  return Md5().Update(code).Update(secret).Update(challenge).Final();
}

}  // namespace

const char* TunnelStateName(TunnelState state) {
  static const char* const kNames[] = {"idle",        "wait-ctl-reply",    "wait-ctl-conn",
                                       "established", "received-stop-ccn", "sent-stop-ccn"};
  return kNames[static_cast<int>(state)];
}

CTunnel::CTunnel(ServerContext& server, uint16_t id, const sockaddr_in& peer_address,
                 std::optional<L2tpPeer> peer)
    : server_(server), id_(id), peer_address_(peer_address), peer_(std::move(peer)), nr_(1) {}

CTunnel::~CTunnel() {
  DeleteSessions();
  server_.timers.Cancel(life_timer_);
  server_.timers.Cancel(retransmit_timer_);
  server_.timers.Cancel(ack_timer_);
}

std::string CTunnel::name() const {
  return std::to_string(id_) + "/" + std::to_string(peer_id_);
}

void CTunnel::Error(std::string text) {
  last_error_ = text;
  server_.log.Error(std::move(text));
}

HiddenAvpKey CTunnel::Key() const {
  return {.has_peer = peer_.has_value(),
          .secret = peer_ ? std::span<const uint8_t>(peer_->secret) : std::span<const uint8_t>()};
}

std::unique_ptr<CDatagram> CTunnel::NewMessage(uint16_t type, uint16_t session_id) const {
  return CDatagram::NewControl(type, peer_id_, session_id);
}

bool CTunnel::Stopping() const {
  return state_ == TunnelState::kReceivedStopCcn || state_ == TunnelState::kSentStopCcn;
}

CSession* CTunnel::FindSession(uint16_t id) {
  const auto found = sessions_.find(id);
  return found == sessions_.end() ? nullptr : found->second.get();
}

// --- creation ---------------------------------------------------------------------------------

void CTunnel::HandleSccrq(CDatagram& sccrq) {
  if (!ValidateSccrq(sccrq)) return;
  SendSccrp();
  // A tunnel that never completes its set-up goes after a while.
  life_timer_ = server_.timers.Create(kHalfOpenLimit, [this] {
    life_timer_ = {};
    SendStopCcn(2, 0, "Control connection set-up timed out");
  });
}

bool CTunnel::ValidateSccrq(CDatagram& sccrq) {
  std::string error;
  const HiddenAvpKey key = Key();
  const std::optional<Avp> assigned = sccrq.FindAvp(&key, 0, kAvpAssignedTunnelId, error);
  if (!assigned) {
    Error(error.rfind("AVP of vendor", 0) == 0 ? "No assigned tunnel ID AVP in SCCRQ" : error);
  } else if (!CheckAvp(0, kAvpAssignedTunnelId, assigned->value.size(), assigned->mandatory,
                       error)) {
    if (!error.empty()) Error(error);
  } else if ((peer_id_ = assigned->Word()) == 0) {
    Error("Invalid assigned-tunnel-ID of zero");
  } else if (!peer_) {
    RefuseStranger();
  } else {
    return WalkSccrqAvps(sccrq);
  }
  Finish();
  return false;
}

// A stranger gets one answer, never retransmitted, within the server's rate for strangers, and
// leaves nothing behind.
void CTunnel::RefuseStranger() {
  if (!MayAnswerStranger(server_, peer_address_)) return;
  Error("Peer " + AddressToDotted(peer_address_.sin_addr.s_addr) +
        " is not authorized to create a tunnel");
  std::unique_ptr<CDatagram> stop = NewStopCcn(peer_id_, id_, 4, 0, last_error_);
  stop->nr = nr_;
  SendUnqueued(*stop);
}

bool CTunnel::WalkSccrqAvps(CDatagram& sccrq) {
  std::string error;
  const HiddenAvpKey key = Key();
  while (const std::optional<Avp> avp = sccrq.NextAvp(&key, error)) {
    if (avp->vendor != 0) {
      if (!avp->mandatory) continue;
      SendStopCcn(2, 8,
                  "Unknown AVP with mandatory attribute (vendor=" + std::to_string(avp->vendor) +
                      ", type=" + std::to_string(avp->type) + ") in SCCRQ");
      return false;
    }
    if (!CheckAvp(0, avp->type, avp->value.size(), avp->mandatory, error)) {
      if (!avp->mandatory) continue;
      if (!error.empty()) Error(error);
      SendStopCcn(2, 24, last_error_);
      return false;
    }
    switch (avp->type) {
      case kAvpProtocolVersion:
        if (avp->Word() != kProtocolVersion) {
          SendStopCcn(5, kProtocolVersion, "Unsupported protocol version");
          return false;
        }
        break;
      case kAvpHostName:
        host_name_.assign(reinterpret_cast<const char*>(avp->value.data()),
                          std::min(avp->value.size(), kMaxHostName));
        break;
      case kAvpReceiveWindowSize:
        peer_window_ = std::max<uint16_t>(avp->Word(), 1);
        ssthresh_ = peer_window_;
        break;
      case kAvpChallenge:
        if (!peer_->secret.empty()) {
          response_to_send_ = ChallengeResponse(2, peer_->secret, avp->value);
        }
        break;
      case kAvpChallengeResponse:
        if (!peer_->secret.empty() &&
            !std::equal(avp->value.begin(), avp->value.end(), expected_response_.begin())) {
          SendStopCcn(4, 3, "Incorrect challenge response");
          return false;
        }
        break;
      default:
        break;
    }
  }
  if (!error.empty()) {
    Error(error);
    SendStopCcn(2, 3, last_error_);
    return false;
  }
  return true;
}

void CTunnel::SendSccrp() {
  auto sccrp = NewMessage(kSccrp);
  std::string error;
  const uint8_t framing[4] = {0, 0, 0, 3};
  sccrp->AddU16(kAvpProtocolVersion, kProtocolVersion, error);
  sccrp->AddAvp(true, 0, kAvpFramingCapabilities, framing, error);
  sccrp->AddText(kAvpHostName, server_.host_name, error);
  sccrp->AddU16(kAvpAssignedTunnelId, id_, error);
  sccrp->AddU16(kAvpReceiveWindowSize, kOurWindow, error);
  sccrp->AddAvp(false, 0, kAvpVendorName, Bytes("Tessaro"), error);
  if (!peer_->secret.empty()) {
    uint8_t challenge[16];
    server_.random_bytes(challenge);
    sccrp->AddAvp(true, 0, kAvpChallengeResponse, response_to_send_, error);
    sccrp->AddAvp(true, 0, kAvpChallenge, challenge, error);
    expected_response_ = ChallengeResponse(3, peer_->secret, challenge);
    challenged_ = true;
  }
  state_ = TunnelState::kWaitCtlConn;
  EnqueueAndTransmit(std::move(sccrp));
}

// --- receiving --------------------------------------------------------------------------------

void CTunnel::Dispatch(std::unique_ptr<CDatagram> message, const sockaddr_in& from) {
  if (from.sin_addr.s_addr != peer_address_.sin_addr.s_addr) {
    server_.log.FrequentError("not sent from peer", "Invalid control message for tunnel " + name() +
                                                        " - not sent from peer");
    return;
  }
  if (!AcknowledgesSent(*message)) return;
  peer_address_.sin_port = from.sin_port;
  const bool zlb = message->message_type == kZlb;
  if (!zlb && !server_.timers.Waiting(ack_timer_)) {
    ack_timer_ = server_.timers.Create(kAckDelay, [this] {
      ack_timer_ = {};
      OnAcknowledge();
    });
  }
  if (message->ns != nr_) {
    if (Precedes(message->ns, nr_)) ReleaseAcknowledged();  // a duplicate: acknowledged again
    return;
  }
  if (!zlb) ++nr_;
  if (Precedes(peer_nr_, message->nr)) {
    peer_nr_ = message->nr;
    // Only an acknowledgement shows that the peer hears us: talking without one does not put off
    // the end of a tunnel whose messages go unanswered.
    retransmissions_ = 0;
    timeout_s_ = 1;
  }
  // Only the keep-alive restarts: the set-up limit of a half-open tunnel stands.
  if (state_ == TunnelState::kEstablished) server_.timers.Reset(life_timer_, kKeepAlive);
  ReleaseAcknowledged();
  Process(*message);
  if (finished_) return;
  Transmit();
  AfterDelivery();
}

void CTunnel::AfterDelivery() {
  if (!queue_.empty()) return;
  server_.timers.Cancel(retransmit_timer_);
  if (state_ == TunnelState::kSentStopCcn) Finish();
}

void CTunnel::Process(CDatagram& message) {
  const uint16_t type = message.message_type;
  CSession* session = nullptr;
  if (type == kOcrp || type == kOccn || type == kIcrp || type == kIccn || type == kCdn) {
    session = FindSession(message.session_id);
    if (!session) {
      Error("CTunnel::ProcessReceivedDatagram() - session-related message for unknown session " +
            std::to_string(message.session_id));
      return;
    }
  }
  switch (type) {
    case kSccrp:
      SendStopCcn(7, 0, "Not expecting SCCRP");
      break;
    case kScccn:
      HandleScccn(message);
      break;
    case kStopCcn:
      HandleStopCcn(message);
      break;
    case kIcrq:
      HandleIcrq(message);
      break;
    case kIcrp:
      session->HandleIcrp(message);
      break;
    case kIccn:
      session->HandleIccn(message);
      break;
    case kCdn:
      CloseSession(session->id());
      return;
    default:
      return;
  }
  if (session && session->closing()) CloseSession(session->id());
}

void CTunnel::HandleScccn(CDatagram& message) {
  if (state_ != TunnelState::kWaitCtlConn) {
    SendStopCcn(7, 0, "Not expecting SCCCN");
    return;
  }
  if (challenged_) {
    std::string error;
    const HiddenAvpKey key = Key();
    const std::optional<Avp> response = message.FindAvp(&key, 0, kAvpChallengeResponse, error);
    if (!response) {
      SendStopCcn(4, 0, "Missing challenge-response");
      return;
    }
    if (!CheckAvp(0, kAvpChallengeResponse, response->value.size(), response->mandatory, error)) {
      SendStopCcn(2, 24, "Invalid challenge-response");
      return;
    }
    if (!std::equal(response->value.begin(), response->value.end(), expected_response_.begin())) {
      SendStopCcn(4, 3, "Incorrect challenge response");
      return;
    }
  }
  state_ = TunnelState::kEstablished;
  server_.timers.Cancel(life_timer_);
  life_timer_ = server_.timers.Create(kKeepAlive, [this] {
    life_timer_ = {};
    OnKeepAlive();
  });
}

void CTunnel::HandleStopCcn(CDatagram& message) {
  const bool destroying = state_ == TunnelState::kReceivedStopCcn;
  DeleteSessions();
  state_ = TunnelState::kReceivedStopCcn;
  if (!queue_.empty()) DiscardQueue();
  std::string error;
  const HiddenAvpKey key = Key();
  if (const auto assigned = message.FindAvp(&key, 0, kAvpAssignedTunnelId, error);
      assigned && assigned->value.size() == 2) {
    peer_id_ = assigned->Word();
  }
  server_.timers.Cancel(ack_timer_);
  auto zlb = NewMessage(kZlb);
  SendUnqueued(*zlb);
  // The queue is empty: the destroy phase starts, once, so that nothing the peer sends later
  // puts off the tunnel's end.
  if (!destroying) StartDestroyPhase();
}

void CTunnel::HandleIcrq(CDatagram& message) {
  std::string error;
  const HiddenAvpKey key = Key();
  const std::optional<Avp> assigned = message.FindAvp(&key, 0, kAvpAssignedSessionId, error);
  if (!assigned) {
    if (!error.empty()) Error(error);
    return;
  }
  if (!CheckAvp(0, kAvpAssignedSessionId, assigned->value.size(), assigned->mandatory, error) ||
      assigned->Word() == 0 || state_ != TunnelState::kEstablished) {
    return;
  }
  const uint16_t peer_session = assigned->Word();
  if (sessions_.size() >= server_.limits.sessions_per_tunnel ||
      server_.sessions >= server_.limits.sessions) {
    // No session is made: the CDN names the limit and carries no session of ours.
    const std::string text =
        sessions_.size() >= server_.limits.sessions_per_tunnel
            ? "Limit of " + std::to_string(server_.limits.sessions_per_tunnel) +
                  " sessions per tunnel reached"
            : "Limit of " + std::to_string(server_.limits.sessions) + " sessions reached";
    Error(text);
    auto cdn = NewMessage(kCdn, peer_session);
    cdn->AddU16(kAvpAssignedSessionId, 0, error);
    cdn->AddResultCode(2, 4, text, error);
    EnqueueAndTransmit(std::move(cdn));
    return;
  }
  const uint16_t id =
      RandomFreeId(server_, [this](uint16_t candidate) { return sessions_.contains(candidate); });
  auto session = std::make_unique<CSession>(*this, id, peer_session, server_.pool.Allocate());
  CSession& added = *session;
  sessions_[id] = std::move(session);
  ++server_.sessions;
  added.Answer();
}

void CTunnel::HandleData(uint16_t session_id, std::span<uint8_t> frame) {
  if (state_ != TunnelState::kEstablished) return;
  CSession* session = FindSession(session_id);
  if (!session) {
    server_.log.FrequentError("unknown session", "Unknown session " + std::to_string(session_id) +
                                                     " in tunnel " + std::to_string(id_));
    return;
  }
  session->HandlePppFrame(frame);
}

// --- sessions ---------------------------------------------------------------------------------

void CTunnel::CloseSession(uint16_t id) {
  const auto found = sessions_.find(id);
  if (found == sessions_.end()) return;
  sessions_.erase(found);
  --server_.sessions;
  if (sessions_.empty() && state_ == TunnelState::kEstablished) {
    SendStopCcn(1, 0, "Last session has closed");
  }
}

void CTunnel::ReapSessions() {
  if (state_ == TunnelState::kSentStopCcn) {
    DeleteSessions();
    return;
  }
  std::vector<uint16_t> closing;
  for (const auto& [id, session] : sessions_) {
    if (session->closing()) closing.push_back(id);
  }
  for (const uint16_t id : closing) CloseSession(id);
}

void CTunnel::DeleteSessions() {
  server_.sessions -= sessions_.size();
  sessions_.clear();
}

// --- sending ----------------------------------------------------------------------------------

std::unique_ptr<CDatagram> NewStopCcn(uint16_t peer_tunnel_id, uint16_t our_tunnel_id,
                                      uint16_t result, uint16_t error_code, std::string_view text) {
  auto stop = CDatagram::NewControl(kStopCcn, peer_tunnel_id, 0);
  std::string error;  // a StopCCN always has room for both
  stop->AddU16(kAvpAssignedTunnelId, our_tunnel_id, error);
  stop->AddResultCode(result, error_code, text, error);
  return stop;
}

// One StopCCN per tunnel, and none after the peer's. Its sessions go with it, after the call that
// stopped the tunnel (which may come from one of them), and the tunnel goes when the StopCCN is
// acknowledged, after five retransmissions, or at the latest after kStopCcnLimit.
void CTunnel::SendStopCcn(uint16_t result, uint16_t error_code, const std::string& text) {
  if (Stopping()) return;
  state_ = TunnelState::kSentStopCcn;
  server_.reap_pending = true;
  server_.timers.Cancel(life_timer_);
  life_timer_ = server_.timers.Create(kStopCcnLimit, [this] {
    life_timer_ = {};
    Error("StopCCN on tunnel (" + name() + ") not acknowledged; closing down");
    Finish();
  });
  std::unique_ptr<CDatagram> stop = NewStopCcn(peer_id_, id_, result, error_code, text);
  // The messages the peer never got give way to the StopCCN, which alone may pass the limit.
  if (queued_bytes_ + stop->footprint() > queue_limit()) DiscardUnsent();
  Enqueue(std::move(stop));
  Transmit();
}

void CTunnel::Shutdown(const std::string& text) {
  SendStopCcn(6, 0, text);
}

size_t CTunnel::queue_limit() const {
  return std::min(kMaxQueueLimit, (2 * server_.limits.sessions_per_tunnel + kQueueSlackMessages) *
                                      kQueueBytesPerMessage);
}

void CTunnel::EnqueueAndTransmit(std::unique_ptr<CDatagram> message) {
  if (queued_bytes_ + message->footprint() > queue_limit()) {
    StopForOverrun();
    return;
  }
  Enqueue(std::move(message));
  Transmit();
}

void CTunnel::Enqueue(std::unique_ptr<CDatagram> message) {
  message->ns = ns_++;
  queued_bytes_ += message->footprint();
  queue_.push_back(std::move(message));
}

void CTunnel::StopForOverrun() {
  if (Stopping()) return;
  Error("Transmit queue of tunnel " + name() + " holds " + std::to_string(queued_bytes_) +
        " bytes the peer has not acknowledged; closing down");
  SendStopCcn(2, 4, last_error_);
}

void CTunnel::DiscardQueue() {
  queue_.clear();
  unsent_ = 0;
  queued_bytes_ = 0;
  ns_ = next_send_ns_ = peer_nr_;
}

void CTunnel::DiscardUnsent() {
  while (!queue_.empty() && !Precedes(queue_.back()->ns, sent_end_)) {
    queued_bytes_ -= queue_.back()->footprint();
    queue_.pop_back();
  }
  unsent_ = std::min(unsent_, queue_.size());
  ns_ = sent_end_;
}

void CTunnel::SendUnqueued(CDatagram& message) {
  message.tunnel_id = peer_id_;
  if (message.message_type == kZlb) {
    message.ns = ns_;
    message.nr = nr_;
  }
  const std::vector<uint8_t> bytes = message.WireBytes();
  if (const int32_t code = server_.transport.Send(peer_address_, bytes); code != 0) {
    Error("Failed to send L2TP packet: " + std::to_string(code));
  }
}

void CTunnel::FlushAcknowledgement() {
  if (!server_.timers.Waiting(ack_timer_)) return;
  server_.timers.Cancel(ack_timer_);
  auto zlb = NewMessage(kZlb);
  SendUnqueued(*zlb);
}

void CTunnel::Transmit() {
  const bool waiting = unsent_ < queue_.size();
  while (unsent_ < queue_.size() && static_cast<uint16_t>(next_send_ns_ - peer_nr_) < cwnd_) {
    CDatagram& message = *queue_[unsent_];
    message.nr = nr_;
    message.tunnel_id = peer_id_;
    if (const int32_t code = server_.transport.Send(peer_address_, message.WireBytes())) {
      Error("Failed to send L2TP packet: " + std::to_string(code));
      break;
    }
    server_.timers.Cancel(ack_timer_);  // this message carries the acknowledgement
    next_send_ns_ = static_cast<uint16_t>(message.ns + 1);
    if (Precedes(sent_end_, next_send_ns_)) sent_end_ = next_send_ns_;
    ++unsent_;
  }
  if (!waiting) return;
  const auto timeout = std::chrono::seconds(timeout_s_);
  if (!server_.timers.Reset(retransmit_timer_, timeout)) {
    retransmit_timer_ = server_.timers.Create(timeout, [this] {
      retransmit_timer_ = {};
      OnRetransmit();
    });
  }
}

// Nr is the Ns the peer expects next (RFC 2661), so it names no message beyond those sent. A
// message whose Nr does is refused whole, neither processed nor acknowledged: taken, it would move
// the window past the queue.
bool CTunnel::AcknowledgesSent(const CDatagram& message) {
  if (!Precedes(sent_end_, message.nr)) return true;
  server_.log.FrequentError("acknowledgement beyond sent",
                            "Invalid control message for tunnel " + name() + " - Nr " +
                                std::to_string(message.nr) + " acknowledges beyond Ns " +
                                std::to_string(sent_end_));
  return false;
}

void CTunnel::ReleaseAcknowledged() {
  while (!queue_.empty() && Precedes(queue_.front()->ns, peer_nr_)) {
    queued_bytes_ -= queue_.front()->footprint();
    queue_.pop_front();
    if (unsent_ > 0) --unsent_;
    if (cwnd_ < ssthresh_) {
      ++cwnd_;
    } else if (++congestion_ >= cwnd_) {
      congestion_ = 0;
      ++cwnd_;
    }
    cwnd_ = std::min(cwnd_, peer_window_);
  }
  // Messages sent before a retransmission went back may be acknowledged: the next to transmit
  // is the first not acknowledged.
  if (Precedes(next_send_ns_, peer_nr_)) next_send_ns_ = peer_nr_;
}

void CTunnel::OnRetransmit() {
  if (queue_.empty()) return;
  unsent_ = 0;
  next_send_ns_ = queue_.front()->ns;
  ssthresh_ = std::max<uint16_t>(cwnd_ / 2, 1);
  cwnd_ = 1;
  congestion_ = 0;
  if (++retransmissions_ >= kMaxRetransmissions) {
    Error("Too many retransmissions on tunnel (" + name() + "); closing down");
    Finish();
    return;
  }
  if (timeout_s_ < 8) timeout_s_ *= 2;
  Transmit();
}

void CTunnel::OnAcknowledge() {
  if (unsent_ < queue_.size() && static_cast<uint16_t>(next_send_ns_ - peer_nr_) < cwnd_) {
    Transmit();
    return;
  }
  auto zlb = NewMessage(kZlb);
  SendUnqueued(*zlb);
}

void CTunnel::OnKeepAlive() {
  life_timer_ = server_.timers.Create(kKeepAlive, [this] {
    life_timer_ = {};
    OnKeepAlive();
  });
  EnqueueAndTransmit(NewMessage(kHello));
}

void CTunnel::StartDestroyPhase() {
  server_.timers.Cancel(life_timer_);
  DeleteSessions();
  life_timer_ = server_.timers.Create(kDestroyDelay, [this] {
    life_timer_ = {};
    Finish();
  });
}

void CTunnel::Finish() {
  finished_ = true;
  server_.reap_pending = true;
  DeleteSessions();
  server_.timers.Cancel(life_timer_);
  server_.timers.Cancel(retransmit_timer_);
  server_.timers.Cancel(ack_timer_);
}

}  // namespace velmora::l2tp
