#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "l2tp/server_context.h"

namespace velmora::l2tp {

class CDatagram;
class CTunnel;

enum class SessionState { kIdle, kWaitTunnel, kWaitReply, kWaitConnect, kEstablished };
const char* SessionStateName(SessionState state);

// One incoming call inside a tunnel: ICRQ answered by ICRP, taken up by ICCN, cleared by CDN. It
// holds the user's pool address and the PPP link, carries PPP frames both ways and tells the LAC
// the negotiated ACCMs (SLI). A session that sent CDN is closing: its tunnel deletes it after the
// call. Owned by its tunnel; server thread only.
class CSession {
 public:
  static constexpr auto kConnectLimit = std::chrono::milliseconds(60000);

  CSession(CTunnel& tunnel, uint16_t id, uint16_t peer_id, uint32_t address);
  ~CSession();
  CSession(const CSession&) = delete;
  CSession& operator=(const CSession&) = delete;

  // ICRP for the ICRQ that created the session.
  void Answer();
  void HandleIccn(CDatagram& iccn);
  void HandleIcrp(CDatagram& icrp);
  void SendCdn(uint16_t result, uint16_t error, const std::string& text);
  // A PPP frame from the peer, from its protocol field on.
  void HandlePppFrame(std::span<uint8_t> frame);
  // A PPP frame to the peer, from its protocol field on; dropped unless tunnel and session are
  // established.
  void SendPppFrame(std::span<const uint8_t> frame);

  uint16_t id() const { return id_; }
  uint16_t peer_id() const { return peer_id_; }
  uint32_t address() const { return address_; }
  SessionState state() const { return state_; }
  bool closing() const { return closing_; }
  CTunnel& tunnel() { return tunnel_; }

 private:
  void WatchAccm(std::span<const uint8_t> frame, bool from_peer);
  void SendSli();

  CTunnel& tunnel_;
  uint16_t id_;
  uint16_t peer_id_;
  uint32_t address_;
  SessionState state_ = SessionState::kIdle;
  bool closing_ = false;
  std::unique_ptr<SessionLink> link_;
  TimerService::Handle connect_timer_;  // a call not taken up within the limit goes
  bool watching_accm_ = true;
  bool send_accm_known_ = false, receive_accm_known_ = false;
  uint8_t send_accm_[4] = {0xff, 0xff, 0xff, 0xff};
  uint8_t receive_accm_[4] = {0xff, 0xff, 0xff, 0xff};
};

}  // namespace velmora::l2tp
