#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>

#include "l2tp/server_context.h"
#include "l2tp/tunnel.h"

namespace velmora::l2tp {

// The tunnels of one server run and the way in for every received datagram: data messages go
// straight to their session, control messages to their tunnel, and an SCCRQ makes a new tunnel
// within the limits. Tunnels that finished are deleted after the call that finished them.
// Owned by the server thread.
class CTunnelList {
 public:
  explicit CTunnelList(ServerContext& server) : server_(server) {}

  // One datagram as received from `from`.
  void HandleDatagram(std::span<uint8_t> datagram, const sockaddr_in& from);
  // Server shutdown: every tunnel not stopping yet sends StopCCN (6, 0) with `text`.
  void ShutdownAll(const std::string& text);
  // After timers ran: deletes the tunnels they finished.
  void Reap();

  size_t count() const { return tunnels_.size(); }
  // The sessions of all tunnels.
  size_t session_count() const;
  CTunnel* Find(uint16_t id);

 private:
  void HandleControl(std::span<const uint8_t> datagram, const sockaddr_in& from);
  void HandleData(std::span<uint8_t> datagram, const sockaddr_in& from);
  void CreateTunnel(CDatagram& sccrq, const sockaddr_in& from);
  // A StopCCN (2, 4) for an SCCRQ beyond the tunnel limit, sent once with no tunnel made; to a
  // stranger within the server's rate for strangers.
  void RefuseForLimit(CDatagram& sccrq, const sockaddr_in& from);

  ServerContext& server_;
  std::map<uint16_t, std::unique_ptr<CTunnel>> tunnels_;
};

}  // namespace velmora::l2tp
