#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "l2tp/datagram.h"
#include "l2tp/server_context.h"
#include "l2tp/session.h"
#include "support/md5.h"

namespace velmora::l2tp {

// Tunnel states, in the order of their numbers.
enum class TunnelState {
  kIdle,
  kWaitCtlReply,
  kWaitCtlConn,
  kEstablished,
  kReceivedStopCcn,
  kSentStopCcn
};
const char* TunnelStateName(TunnelState state);

// A StopCCN from our tunnel to the peer's, with its Assigned Tunnel ID and Result Code.
std::unique_ptr<CDatagram> NewStopCcn(uint16_t peer_tunnel_id, uint16_t our_tunnel_id,
                                      uint16_t result, uint16_t error_code, std::string_view text);

// Sequence numbers compared modulo 65536: a precedes b when b - a lies in 1..32767.
inline bool Precedes(uint16_t a, uint16_t b) {
  const uint16_t d = static_cast<uint16_t>(b - a);
  return d >= 1 && d <= 32767;
}

// One control connection with one LAC, created by its SCCRQ: peer authentication, the state
// machine, reliable delivery of control messages (Ns/Nr, window, retransmission with back-off,
// ZLB acknowledgements), keep-alive and tear-down, and its sessions. A tunnel that is done marks
// itself finished and the tunnel list deletes it after the call that finished it. Owned by the
// tunnel list; server thread only.
class CTunnel {
 public:
  static constexpr auto kAckDelay = std::chrono::milliseconds(100);
  static constexpr auto kKeepAlive = std::chrono::milliseconds(60000);
  static constexpr auto kDestroyDelay = std::chrono::milliseconds(31000);
  static constexpr auto kHalfOpenLimit = std::chrono::milliseconds(60000);
  static constexpr int kMaxRetransmissions = 5;
  // A StopCCN not acknowledged by then ends the tunnel, even while the peer keeps talking.
  static constexpr auto kStopCcnLimit = std::chrono::milliseconds(31000);
  // What the messages waiting for the peer's acknowledgement may hold (their footprint): room for
  // an ICRP and an SLI, or a CDN, for every session the tunnel may carry plus some slack, so that
  // a LAC re-dialling all its calls at once keeps its tunnel however slowly it acknowledges. A
  // queue beyond it belongs to a peer that keeps talking and never acknowledges: its tunnel is
  // stopped, so that no peer can make a tunnel hold more.
  static constexpr size_t kQueueBytesPerMessage = 512;  // more than an ICRP, SLI or CDN holds
  static constexpr size_t kQueueSlackMessages = 64;
  static constexpr size_t kMaxQueueLimit = 4 * 1024 * 1024;

  CTunnel(ServerContext& server, uint16_t id, const sockaddr_in& peer_address,
          std::optional<L2tpPeer> peer);
  ~CTunnel();
  CTunnel(const CTunnel&) = delete;
  CTunnel& operator=(const CTunnel&) = delete;

  // The SCCRQ that created the tunnel: SCCRP, a StopCCN, or nothing (then it is finished).
  void HandleSccrq(CDatagram& sccrq);
  // A control message from `from` for this tunnel.
  void Dispatch(std::unique_ptr<CDatagram> message, const sockaddr_in& from);
  // A PPP frame of a data message for `session_id`.
  void HandleData(uint16_t session_id, std::span<uint8_t> frame);
  // Server shutdown: StopCCN (6, 0) unless the tunnel is stopping already.
  void Shutdown(const std::string& text);

  void SendStopCcn(uint16_t result, uint16_t error, const std::string& text);
  void EnqueueAndTransmit(std::unique_ptr<CDatagram> message);
  // A control message sent once, outside the reliable channel (a ZLB, a refusal).
  void SendUnqueued(CDatagram& message);
  // Cancels a pending acknowledgement by sending it now as a ZLB.
  void FlushAcknowledgement();
  void CloseSession(uint16_t id);

  uint16_t id() const { return id_; }
  uint16_t peer_id() const { return peer_id_; }
  TunnelState state() const { return state_; }
  bool finished() const { return finished_; }
  const sockaddr_in& peer_address() const { return peer_address_; }
  const std::string& host_name() const { return host_name_; }
  std::string name() const;
  size_t session_count() const { return sessions_.size(); }
  CSession* FindSession(uint16_t id);
  // Deletes the sessions that sent CDN.
  void ReapSessions();
  ServerContext& server() { return server_; }
  // The most recent error of this tunnel's own processing, for StopCCN and CDN texts.
  const std::string& last_error() const { return last_error_; }
  void Error(std::string text);
  // What hidden AVPs of this tunnel's messages are read with.
  HiddenAvpKey Key() const;
  // What the transmit queue may hold for the sessions limit per tunnel; a StopCCN alone may go
  // beyond it.
  size_t queue_limit() const;
  // The footprint of the messages queued for the peer.
  size_t queued_bytes() const { return queued_bytes_; }
  // The messages queued for the peer in Ns order: sent and not acknowledged, then not sent yet.
  const std::deque<std::unique_ptr<CDatagram>>& queue() const { return queue_; }

 private:
  // SCCRQ checks; false when the tunnel was refused (StopCCN sent or nothing to answer).
  bool ValidateSccrq(CDatagram& sccrq);
  bool WalkSccrqAvps(CDatagram& sccrq);
  void RefuseStranger();
  void SendSccrp();
  void Process(CDatagram& message);
  void HandleScccn(CDatagram& message);
  void HandleStopCcn(CDatagram& message);
  void HandleIcrq(CDatagram& message);
  // Whether the message's Nr acknowledges no more than was sent.
  bool AcknowledgesSent(const CDatagram& message);
  void ReleaseAcknowledged();
  // The peer stopped the tunnel: the queue goes for good, and ZLBs take the Ns the peer expects.
  void DiscardQueue();
  // Drops the messages never transmitted; the next message takes the Ns after the last one sent,
  // which the peer may have received.
  void DiscardUnsent();
  void Enqueue(std::unique_ptr<CDatagram> message);
  // A StopCCN was sent or received.
  bool Stopping() const;
  // The queue would outgrow its limit: StopCCN, unless the tunnel is stopping already.
  void StopForOverrun();
  void Transmit();
  void AfterDelivery();
  void OnRetransmit();
  void OnAcknowledge();
  void OnKeepAlive();
  void StartDestroyPhase();
  void Finish();
  void DeleteSessions();
  std::unique_ptr<CDatagram> NewMessage(uint16_t type, uint16_t session_id = 0) const;

  ServerContext& server_;
  uint16_t id_;
  uint16_t peer_id_ = 0;
  sockaddr_in peer_address_;
  std::optional<L2tpPeer> peer_;
  std::string host_name_;
  std::map<uint16_t, std::unique_ptr<CSession>> sessions_;
  TunnelState state_ = TunnelState::kIdle;
  bool finished_ = false;
  std::string last_error_;

  uint16_t ns_ = 0;  // of the next new message
  uint16_t next_send_ns_ = 0;
  uint16_t sent_end_ = 0;  // Ns after the last message transmitted
  uint16_t nr_ = 0;        // expected next from the peer
  uint16_t peer_nr_ = 0;   // acknowledged by the peer up to
  uint16_t ssthresh_ = 1, cwnd_ = 1, congestion_ = 0;
  uint16_t peer_window_ = 1;
  int timeout_s_ = 1;
  int retransmissions_ = 0;
  std::deque<std::unique_ptr<CDatagram>> queue_;
  size_t unsent_ = 0;  // index in queue_ of the first message not transmitted
  size_t queued_bytes_ = 0;

  TimerService::Handle life_timer_;  // half-open limit, keep-alive, or destroy delay
  TimerService::Handle retransmit_timer_;
  TimerService::Handle ack_timer_;

  Md5Digest response_to_send_{};
  Md5Digest expected_response_{};
  bool challenged_ = false;
};

}  // namespace velmora::l2tp
