#pragma once

#include <cstdint>
#include <string>

#include "platform/address_text.h"
#include "tables/mac_address.h"

namespace velmora {

// Identifies a subnet entry for as long as the process runs, whatever its table name; rows refer
// to their subnet by it, so that two subnets never share rows by sharing a name.
using SubnetId = uint32_t;

// One carried IPv4 destination network. Addresses in network byte order.
struct SubnetEntry {
  SubnetId id = 0;
  std::string Alias;
  uint32_t IPSubNetAddr = 0;
  uint32_t IPSubNetMask = 0;
  std::string IPSubNetMAC;   // the table name of the subnet's rows
  uint16_t IPSubNetPID = 0;  // the sub-channel on a DAB channel
  bool operator==(const SubnetEntry&) const = default;
};

// One IPv4 host with a fixed MAC address.
struct IpMacEntry {
  uint32_t address = 0;  // network byte order
  MacAddress mac{};
  std::string address_text;
  std::string mac_text;
  SubnetId subnet = 0;
  std::string profile_alias;  // empty: no bandwidth profile
  bool operator==(const IpMacEntry&) const = default;
};

// One IPv6 subnet: reached only through its rows.
struct Ipv6SubnetEntry {
  SubnetId id = 0;
  std::string Alias;
  std::string IPSubNetMAC;
  uint16_t IPSubNetPID = 0;
  bool operator==(const Ipv6SubnetEntry&) const = default;
};

// One IPv6 host with a fixed MAC address.
struct Ipv6MacEntry {
  Ipv6Address address{};
  std::string address_text;
  MacAddress mac{};
  std::string mac_text;
  SubnetId subnet = 0;
  std::string profile_alias;
  bool operator==(const Ipv6MacEntry&) const = default;
};

// The table capacities.
inline constexpr size_t kMaxSubnets = 128;
inline constexpr size_t kMaxIpMacRows = 4096;
inline constexpr size_t kMaxIpv6MacRows = 4096;

}  // namespace velmora
