#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// One network interface as the kernel lists it: its alias is the description that the router
// recognises its adapters by.
struct NetworkLink {
  uint32_t index = 0;
  std::string name;
  std::string alias;
  std::vector<uint8_t> hardware_address;
  uint16_t hardware_type = 0;  // ARPHRD_ETHER for an Ethernet interface
  bool loopback = false;
  uint64_t transmit_drops = 0;  // frames the kernel could not queue for sending on it
  uint32_t master = 0;          // the bridge or bond it is a port of; 0 for none
  // The device it is stacked on (a VLAN's, a veth's peer) in this namespace; 0 for none, or when
  // that device is in another namespace.
  uint32_t parent = 0;
  std::string kind;  // the driver kind: "vlan", "bridge", "veth"; empty for a plain NIC
};

// The interfaces of the calling thread's network namespace in the kernel's order; nullopt with
// errno set when they cannot be read.
std::optional<std::vector<NetworkLink>> ListNetworkLinks();

// The interface whose alias contains `description`: loopback interfaces (by flag, or by
// "Loopback" in the alias) never match, an empty description matches every other one, and of
// several matches the last one wins.
std::optional<NetworkLink> FindLinkByDescription(const std::vector<NetworkLink>& links,
                                                 std::string_view description);

// The names of the interfaces that receive the frames of interface `index` before it does, and
// its own first: the device under a VLAN or macvlan, the ports of a bridge or bond, and theirs in
// turn. Receive offloads merge frames where they first arrive.
std::vector<std::string> ReceivingInterfaces(const std::vector<NetworkLink>& links, uint32_t index);

}  // namespace velmora
