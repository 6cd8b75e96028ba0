#pragma once

#include <linux/rtnetlink.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/netlink_socket.h"

namespace velmora {

// The route protocol number that marks the routes the router adds itself, so that it removes
// exactly those. Not one of the numbers the system names in /etc/iproute2/rt_protos.
inline constexpr uint8_t kVelmoraRouteProtocol = 77;

// One of the paths of a route with several (RTA_MULTIPATH). Addresses in network byte order; a
// gateway of 0 means on-link.
struct NextHop {
  uint32_t gateway = 0;
  uint32_t interface_index = 0;
  uint8_t flags = 0;    // RTNH_F_ONLINK or none, as for a route
  uint16_t weight = 1;  // 1 to 256: the path's share of the traffic
  bool operator==(const NextHop&) const = default;
};

// One IPv4 route. Addresses in network byte order; a gateway of 0 means on-link.
struct RouteRow {
  uint32_t destination = 0;
  uint8_t prefix_length = 0;
  uint32_t gateway = 0;
  uint32_t interface_index = 0;  // the output interface
  uint32_t metric = 0;           // the route's priority: the lowest one wins
  uint32_t preferred_source = 0;
  uint8_t tos = 0;  // the type of service the route is for; 0 for any
  uint8_t protocol = 0;
  uint8_t scope = 0;
  uint8_t type = RTN_UNICAST;
  uint32_t table = RT_TABLE_MAIN;
  // RTNH_F_ONLINK, for a gateway outside the interface's networks; the kernel's other flags
  // describe a route's state and are not kept.
  uint8_t flags = 0;
  // The paths of a route with several; empty for a route with one (gateway and
  // interface_index) or none.
  std::vector<NextHop> next_hops;
  // The payload of RTA_METRICS as the kernel gives it (the route's MTU, window and the like, each
  // a nested attribute); empty for none.
  std::vector<uint8_t> metrics;
  // Set for a route whose path the row cannot describe (RTA_NH_ID, RTA_VIA or RTA_ENCAP): such a
  // route can be neither matched for a delete nor added again from the row.
  bool unkept_path = false;
  bool operator==(const RouteRow&) const = default;

  bool is_default() const { return prefix_length == 0; }
};

// One IPv4 address of an interface, in network byte order.
struct InterfaceAddress {
  uint32_t interface_index = 0;
  uint32_t address = 0;
};

// The IPv4 routes of the main table, the interfaces' IPv4 addresses and the neighbour cache of
// the calling thread's network namespace, over one rtnetlink socket. Reads return nullopt with
// errno set when they fail; changes return 0 or the errno the kernel answered with. Each object
// is used by one thread at a time.
class RouteTable {
 public:
  // Every route of the main table in the kernel's order.
  std::optional<std::vector<RouteRow>> ListRoutes();
  // The route the kernel would take to `address`.
  std::optional<RouteRow> LookUp(uint32_t address);
  // Adds the row as a new route; EEXIST when the table holds one like it.
  int AddRoute(const RouteRow& row);
  // Deletes the route that the row describes, matching its interface, gateway, metric and
  // protocol, so that another interface's route to the same destination stays.
  int DeleteRoute(const RouteRow& row);
  std::optional<std::vector<InterfaceAddress>> ListAddresses();
  // Removes the neighbour entry of `address` on one interface.
  int DeleteNeighbour(uint32_t interface_index, uint32_t address);

 private:
  int ChangeRoute(uint16_t type, uint16_t flags, const RouteRow& row);

  NetlinkSocket socket_;
};

}  // namespace velmora
