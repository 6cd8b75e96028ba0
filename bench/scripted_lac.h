#pragma once

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "l2tp/avp_table.h"
#include "l2tp/datagram.h"

namespace velmora::bench {

// A LAC for the benchmarks: one loopback socket towards the server, tunnels and calls opened one
// message at a time, every tunnel with its own Ns/Nr, PPP frames carried both ways. Called by one
// thread at a time; another may send data messages on its socket meanwhile.
class ScriptedLac {
 public:
  struct Tunnel {
    uint16_t ours = 0, theirs = 0, ns = 0, nr = 0;
  };

  explicit ScriptedLac(uint16_t server_port) : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
    server_.sin_family = AF_INET;
    server_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server_.sin_port = htons(server_port);
    const int buffer = 1 << 22;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    timeval timeout{2, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  ~ScriptedLac() { close(fd_); }
  ScriptedLac(const ScriptedLac&) = delete;
  ScriptedLac& operator=(const ScriptedLac&) = delete;

  // Sends `m` in `t` and returns the first non-ZLB reply (none after 2 s).
  std::unique_ptr<l2tp::CDatagram> Exchange(Tunnel& t, std::unique_ptr<l2tp::CDatagram> m) {
    Post(t, std::move(m));
    for (;;) {
      const ssize_t n = Receive();
      if (n <= 0) return nullptr;
      if (auto reply = ParseReply(t, n)) return reply;
    }
  }

  bool OpenTunnel(Tunnel& t, uint16_t id) {
    t.ours = id;
    std::string error;
    auto sccrq = l2tp::CDatagram::NewControl(l2tp::kSccrq, 0, 0);
    sccrq->AddU16(l2tp::kAvpProtocolVersion, 0x0100, error);
    sccrq->AddText(l2tp::kAvpHostName, "bench", error);
    sccrq->AddU16(l2tp::kAvpAssignedTunnelId, id, error);
    sccrq->AddU16(l2tp::kAvpReceiveWindowSize, 8, error);
    auto sccrp = Exchange(t, std::move(sccrq));
    if (!sccrp || sccrp->message_type != l2tp::kSccrp) return false;
    t.theirs = Word(*sccrp, l2tp::kAvpAssignedTunnelId);
    // The SCCCN is acknowledged by a ZLB only; the next message carries on without waiting.
    Post(t, l2tp::CDatagram::NewControl(l2tp::kScccn, t.theirs, 0));
    return true;
  }

  // ICRQ, ICRP, ICCN: the server's session ID, 0 when the call was not answered.
  uint16_t OpenSession(Tunnel& t, uint16_t id) {
    std::string error;
    auto icrq = l2tp::CDatagram::NewControl(l2tp::kIcrq, t.theirs, 0);
    icrq->AddU16(l2tp::kAvpAssignedSessionId, id, error);
    icrq->AddU32(l2tp::kAvpCallSerialNumber, id, error);
    auto icrp = Exchange(t, std::move(icrq));
    if (!icrp || icrp->message_type != l2tp::kIcrp) return 0;
    const uint16_t session = Word(*icrp, l2tp::kAvpAssignedSessionId);
    auto iccn = l2tp::CDatagram::NewControl(l2tp::kIccn, t.theirs, session);
    iccn->AddU32(l2tp::kAvpTxConnectSpeed, 10'000'000, error);
    iccn->AddU32(l2tp::kAvpFramingType, 1, error);
    Post(t, std::move(iccn));
    return session;
  }

  // Ends the call `ours` (the server's `theirs`) with a CDN; the server then stops the tunnel,
  // left without calls, and its StopCCN is acknowledged with a ZLB. False when no StopCCN came.
  bool Hangup(Tunnel& t, uint16_t ours, uint16_t theirs) {
    std::string error;
    auto cdn = l2tp::CDatagram::NewControl(l2tp::kCdn, t.theirs, theirs);
    cdn->AddU16(l2tp::kAvpAssignedSessionId, ours, error);
    cdn->AddResultCode(3, 0, "", error);  // disconnected for administrative reasons
    const auto stop = Exchange(t, std::move(cdn));
    if (!stop || stop->message_type != l2tp::kStopCcn) return false;
    Post(t, l2tp::CDatagram::NewControl(l2tp::kZlb, t.theirs, 0));
    return true;
  }

  // The data message that carries a PPP frame (from its protocol field on) in a session of the
  // server's tunnel `tunnel_id`: no length, no sequence numbers, address and control 0xFF 0x03.
  static std::vector<uint8_t> DataMessage(uint16_t tunnel_id, uint16_t session,
                                          const std::vector<uint8_t>& frame) {
    const uint8_t header[] = {0x00,
                              0x02,
                              static_cast<uint8_t>(tunnel_id >> 8),
                              static_cast<uint8_t>(tunnel_id),
                              static_cast<uint8_t>(session >> 8),
                              static_cast<uint8_t>(session),
                              0xff,
                              0x03};
    std::vector<uint8_t> datagram(sizeof header + frame.size());
    std::copy(std::begin(header), std::end(header), datagram.begin());
    std::copy(frame.begin(), frame.end(), datagram.begin() + sizeof header);
    return datagram;
  }

  // A PPP frame (from its protocol field on) in a session of `t`.
  void SendFrame(const Tunnel& t, uint16_t session, const std::vector<uint8_t>& frame) {
    SendBytes(DataMessage(t.theirs, session, frame));
  }

  // The socket towards the server, for a sender of data messages beside this object.
  int fd() const { return fd_; }

  // The next PPP frame from the server (from its protocol field on); control messages meanwhile
  // are acknowledged. None after 2 s.
  std::optional<std::vector<uint8_t>> NextFrame(Tunnel& t) {
    for (;;) {
      const ssize_t n = Receive();
      if (n <= 0) return std::nullopt;
      const std::span<const uint8_t> received(buffer_, static_cast<size_t>(n));
      if (received[0] & l2tp::kFlagT) {
        if (ParseReply(t, n)) Post(t, l2tp::CDatagram::NewControl(l2tp::kZlb, t.theirs, 0));
        continue;
      }
      const auto message = l2tp::ParseDataMessage(received);
      if (!message) continue;
      const auto frame = received.subspan(message->frame_offset, message->frame_length);
      return std::vector<uint8_t>(frame.begin(), frame.end());
    }
  }

 private:
  static uint16_t Word(l2tp::CDatagram& m, uint16_t type) {
    std::string error;
    const auto avp = m.FindAvp(nullptr, 0, type, error);
    return avp && avp->value.size() >= 2 ? avp->Word() : 0;
  }
  void Post(Tunnel& t, std::unique_ptr<l2tp::CDatagram> m) {
    m->ns = m->message_type == l2tp::kZlb ? t.ns : t.ns++;
    m->nr = t.nr;
    SendBytes(m->WireBytes());
  }
  void SendBytes(const std::vector<uint8_t>& bytes) {
    sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&server_),
           sizeof server_);
  }
  ssize_t Receive() { return recv(fd_, buffer_, sizeof buffer_, 0); }
  // A control message other than a ZLB, with Nr moved past it.
  std::unique_ptr<l2tp::CDatagram> ParseReply(Tunnel& t, ssize_t n) {
    std::string error;
    auto reply = l2tp::CDatagram::ParseControl({buffer_, static_cast<size_t>(n)}, error);
    if (!reply || reply->message_type == l2tp::kZlb) return nullptr;
    t.nr = static_cast<uint16_t>(reply->ns + 1);
    return reply;
  }

  int fd_;
  sockaddr_in server_{};
  uint8_t buffer_[4096];
};

}  // namespace velmora::bench
