#include "l2tp/session.h"

#include "l2tp/avp_table.h"
#include "l2tp/datagram.h"
#include "l2tp/tunnel.h"

namespace velmora::l2tp {

namespace {

constexpr uint16_t kLcp = 0xC021;
constexpr uint8_t kConfigureAck = 2;
constexpr uint8_t kConfigureReject = 4;
constexpr uint8_t kAccmOption = 2;

}  // namespace

const char* SessionStateName(SessionState state) {
  static const char* const kNames[] = {"idle", "wait-tunnel", "wait-reply", "wait-connect",
                                       "established"};
  return kNames[static_cast<int>(state)];
}

CSession::CSession(CTunnel& tunnel, uint16_t id, uint16_t peer_id, uint32_t address)
    : tunnel_(tunnel), id_(id), peer_id_(peer_id), address_(address) {}

CSession::~CSession() {
  tunnel_.server().timers.Cancel(connect_timer_);
  link_.reset();
  if (address_ != 0) tunnel_.server().pool.Release(address_);
}

void CSession::Answer() {
  auto icrp = CDatagram::NewControl(kIcrp, tunnel_.peer_id(), peer_id_);
  std::string error;
  icrp->AddU16(kAvpAssignedSessionId, id_, error);
  state_ = SessionState::kWaitConnect;
  tunnel_.EnqueueAndTransmit(std::move(icrp));
  connect_timer_ = tunnel_.server().timers.Create(kConnectLimit, [this] {
    connect_timer_ = {};
    SendCdn(2, 0, "Call set-up timed out");
    tunnel_.CloseSession(id_);  // deletes this session
  });
}

void CSession::HandleIccn(CDatagram& iccn) {
  if (state_ != SessionState::kWaitConnect) {
    SendCdn(7, 0, std::string("Received ICCN for session in state ") + SessionStateName(state_));
    return;
  }
  state_ = SessionState::kEstablished;
  tunnel_.server().timers.Cancel(connect_timer_);
  std::string error;
  const HiddenAvpKey key = tunnel_.Key();
  while (const std::optional<Avp> avp = iccn.NextAvp(&key, error)) {
    if (avp->vendor != 0 && avp->mandatory) {
      SendCdn(2, 8,
              "Unknown AVP with mandatory attribute (vendor=" + std::to_string(avp->vendor) +
                  ", type=" + std::to_string(avp->type) + ") in ICCN");
      return;
    }
  }
  if (!error.empty()) {
    tunnel_.Error(error);
    SendCdn(2, 3, tunnel_.last_error());
  }
}

void CSession::HandleIcrp(CDatagram& icrp) {
  std::string error;
  const HiddenAvpKey key = tunnel_.Key();
  const std::optional<Avp> assigned = icrp.FindAvp(&key, 0, kAvpAssignedSessionId, error);
  if (!assigned) {
    tunnel_.Error("No assigned session-ID in ICRP");
    return;
  }
  if (!CheckAvp(0, kAvpAssignedSessionId, assigned->value.size(), assigned->mandatory, error) ||
      assigned->Word() == 0) {
    tunnel_.Error("Invalid assigned session-ID in ICRP");
    return;
  }
  peer_id_ = assigned->Word();
  SendCdn(7, 0, std::string("Received ICRP for session in state ") + SessionStateName(state_));
}

void CSession::SendCdn(uint16_t result, uint16_t error_code, const std::string& text) {
  auto cdn = CDatagram::NewControl(kCdn, tunnel_.peer_id(), peer_id_);
  std::string error;
  cdn->AddU16(kAvpAssignedSessionId, id_, error);
  cdn->AddResultCode(result, error_code, text, error);
  state_ = SessionState::kIdle;
  closing_ = true;
  tunnel_.server().reap_pending = true;
  tunnel_.EnqueueAndTransmit(std::move(cdn));
}

void CSession::HandlePppFrame(std::span<uint8_t> frame) {
  if (state_ != SessionState::kEstablished) return;
  if (!link_ && tunnel_.server().link_factory) link_ = tunnel_.server().link_factory(*this);
  if (link_) link_->HandleFrame(frame);
  if (watching_accm_) WatchAccm(frame, true);
}

void CSession::SendPppFrame(std::span<const uint8_t> frame) {
  if (tunnel_.state() != TunnelState::kEstablished || state_ != SessionState::kEstablished) return;
  tunnel_.FlushAcknowledgement();
  std::vector<uint8_t> datagram = {0x00,
                                   kVersion,
                                   static_cast<uint8_t>(tunnel_.peer_id() >> 8),
                                   static_cast<uint8_t>(tunnel_.peer_id()),
                                   static_cast<uint8_t>(peer_id_ >> 8),
                                   static_cast<uint8_t>(peer_id_),
                                   0xFF,
                                   0x03};
  datagram.insert(datagram.end(), frame.begin(), frame.end());
  if (const int32_t code = tunnel_.server().transport.Send(tunnel_.peer_address(), datagram)) {
    tunnel_.Error("Failed to send PPP frame: " + std::to_string(code));
  }
  if (watching_accm_) WatchAccm(frame, false);
}

void CSession::WatchAccm(std::span<const uint8_t> frame, bool from_peer) {
  if (frame.empty()) return;
  const size_t protocol_size = frame[0] & 1 ? 1 : 2;
  if (frame.size() < protocol_size) return;
  const uint16_t protocol =
      protocol_size == 1 ? frame[0] : static_cast<uint16_t>(frame[0] << 8 | frame[1]);
  if (protocol < 0x4000) {
    watching_accm_ = false;  // network traffic: the link is up and negotiated
    return;
  }
  const std::span<const uint8_t> lcp = frame.subspan(protocol_size);
  if (protocol != kLcp || lcp.size() < 4) return;
  const uint8_t code = lcp[0];
  const size_t length = size_t{lcp[2]} << 8 | lcp[3];
  if ((code != kConfigureAck && code != kConfigureReject) || length > lcp.size() || length < 4) {
    return;
  }
  for (size_t at = 4; at + 2 <= length;) {
    const size_t option_length = lcp[at + 1];
    if (option_length < 2 || at + option_length > length) break;
    if (lcp[at] == kAccmOption && option_length == 6) {
      if (code == kConfigureReject) {
        std::fill_n(send_accm_, 4, 0xff);
        std::fill_n(receive_accm_, 4, 0xff);
        send_accm_known_ = receive_accm_known_ = true;
      } else if (from_peer) {
        std::copy_n(&lcp[at + 2], 4, receive_accm_);
        receive_accm_known_ = true;
      } else {
        std::copy_n(&lcp[at + 2], 4, send_accm_);
        send_accm_known_ = true;
      }
    }
    at += option_length;
  }
  if (send_accm_known_ && receive_accm_known_) SendSli();
}

void CSession::SendSli() {
  auto sli = CDatagram::NewControl(kSli, tunnel_.peer_id(), peer_id_);
  std::string error;
  uint8_t accm[10] = {0, 0};
  std::copy_n(send_accm_, 4, accm + 2);
  std::copy_n(receive_accm_, 4, accm + 6);
  sli->AddAvp(true, 0, kAvpAccm, accm, error);
  tunnel_.EnqueueAndTransmit(std::move(sli));
  send_accm_known_ = receive_accm_known_ = false;
}

}  // namespace velmora::l2tp
