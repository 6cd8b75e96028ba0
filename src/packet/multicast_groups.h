#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace velmora {

class Log;
class NetworkTables;
class UdpSocket;

// The host's IPv4 multicast memberships for the groups of the IP/MAC table, so that the network
// delivers their traffic to the tapped interface: one UDP socket per group, bound to the
// multicast interface's address with port 0 and joined on that interface. The console thread
// joins them when it starts while the tap is open; the control thread drops them at the service
// stop. The map is locked, so the calls may come from any thread.
class MulticastGroups {
 public:
  // The multicast interface's address (`MCastNIC`), network order, read at every join.
  using InterfaceAddress = std::function<uint32_t()>;

  MulticastGroups(Log& log, const NetworkTables& tables, InterfaceAddress interface);
  ~MulticastGroups();
  MulticastGroups(const MulticastGroups&) = delete;
  MulticastGroups& operator=(const MulticastGroups&) = delete;

  // Drops every membership, then joins each multicast group of the IP/MAC table; a group whose
  // join fails is left out (the socket logged why) and the others are still joined.
  void Join();
  // Leaves and joins again every group held, so that the network hears a fresh report.
  void Rejoin();
  // Closes every membership socket.
  void Drop();
  // The groups held, in address order (network order values).
  std::vector<uint32_t> groups() const;

 private:
  // The membership of `group`, or none when a step failed.
  std::unique_ptr<UdpSocket> Open(uint32_t group, uint32_t interface);

  Log& log_;
  const NetworkTables& tables_;
  InterfaceAddress interface_;
  mutable std::mutex mutex_;
  std::map<uint32_t, std::unique_ptr<UdpSocket>> memberships_;
};

}  // namespace velmora
