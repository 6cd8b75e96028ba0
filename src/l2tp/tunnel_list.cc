#include "l2tp/tunnel_list.h"

#include "l2tp/avp_table.h"
#include "l2tp/datagram.h"

namespace velmora::l2tp {

CTunnel* CTunnelList::Find(uint16_t id) {
  const auto found = tunnels_.find(id);
  return found == tunnels_.end() ? nullptr : found->second.get();
}

void CTunnelList::HandleDatagram(std::span<uint8_t> datagram, const sockaddr_in& from) {
  if (datagram.size() < 2 || (datagram[1] & 0x0F) != kVersion) return;
  if (datagram[0] & kFlagT) {
    HandleControl(datagram, from);
  } else {
    HandleData(datagram, from);
  }
  Reap();
}

void CTunnelList::HandleData(std::span<uint8_t> datagram, const sockaddr_in& from) {
  const std::optional<DataMessage> message = ParseDataMessage(datagram);
  if (!message) return;
  CTunnel* tunnel = Find(message->tunnel_id);
  if (!tunnel) {
    server_.log.FrequentError("unknown tunnel",
                              "Unknown tunnel " + std::to_string(message->tunnel_id));
    return;
  }
  // Only the tunnel's peer may send its users' frames.
  if (from.sin_addr.s_addr != tunnel->peer_address().sin_addr.s_addr) return;
  tunnel->HandleData(message->session_id,
                     datagram.subspan(message->frame_offset, message->frame_length));
}

void CTunnelList::HandleControl(std::span<const uint8_t> datagram, const sockaddr_in& from) {
  std::string error;
  std::unique_ptr<CDatagram> message = CDatagram::ParseControl(datagram, error);
  if (!message) {
    server_.log.FrequentError("bad control message", error);
    return;
  }
  if (message->message_type == kSccrq) {
    CreateTunnel(*message, from);
    return;
  }
  if (message->tunnel_id == 0) {
    server_.log.FrequentError("tunnel 0", "Invalid control message - tunnel ID = 0");
    return;
  }
  CTunnel* tunnel = Find(message->tunnel_id);
  if (!tunnel) {
    server_.log.FrequentError("unknown tunnel ID", "Invalid control message - unknown tunnel ID " +
                                                       std::to_string(message->tunnel_id));
    return;
  }
  tunnel->Dispatch(std::move(message), from);
}

void CTunnelList::CreateTunnel(CDatagram& sccrq, const sockaddr_in& from) {
  if (tunnels_.size() >= server_.limits.tunnels) {
    RefuseForLimit(sccrq, from);
    return;
  }
  const uint16_t id =
      RandomFreeId(server_, [this](uint16_t candidate) { return tunnels_.contains(candidate); });
  if (id == 0) {
    RefuseForLimit(sccrq, from);
    return;
  }
  auto tunnel =
      std::make_unique<CTunnel>(server_, id, from, server_.find_peer(from.sin_addr.s_addr));
  CTunnel& created = *tunnel;
  tunnels_[id] = std::move(tunnel);
  created.HandleSccrq(sccrq);
}

void CTunnelList::RefuseForLimit(CDatagram& sccrq, const sockaddr_in& from) {
  std::string error;
  const std::optional<Avp> assigned = sccrq.FindAvp(nullptr, 0, kAvpAssignedTunnelId, error);
  if (!assigned || assigned->value.size() != 2) return;  // nobody to answer to
  // An allowed peer is answered as its accepted SCCRQs are; only strangers draw on their budget,
  // so that their flood cannot silence the refusal to a peer.
  if (!server_.find_peer(from.sin_addr.s_addr) && !MayAnswerStranger(server_, from)) return;
  const uint16_t peer_tunnel = assigned->Word();
  const std::string text =
      "Limit of " + std::to_string(server_.limits.tunnels) + " tunnels reached";
  server_.log.FrequentError("tunnel limit", text);
  std::unique_ptr<CDatagram> stop = NewStopCcn(peer_tunnel, 0, 2, 4, text);
  stop->nr = 1;
  server_.transport.Send(from, stop->WireBytes());
}

void CTunnelList::ShutdownAll(const std::string& text) {
  for (auto& [id, tunnel] : tunnels_) tunnel->Shutdown(text);
  Reap();
}

void CTunnelList::Reap() {
  if (!server_.reap_pending) return;
  server_.reap_pending = false;
  for (const auto& [id, tunnel] : tunnels_) tunnel->ReapSessions();
  std::erase_if(tunnels_, [](const auto& entry) { return entry.second->finished(); });
}

size_t CTunnelList::session_count() const {
  size_t sessions = 0;
  for (const auto& [id, tunnel] : tunnels_) sessions += tunnel->session_count();
  return sessions;
}

}  // namespace velmora::l2tp
