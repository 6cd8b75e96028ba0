#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace velmora {

// The capture filters of the tap, in the filter language of libpcap.
struct PylonCaptureFilters {
  std::string ipv4;
  std::string arp;
  std::string ipv6;
};

// The filters for the address slots (`local`: frames to those addresses are not tapped) and the
// source slots (`sources`: when any is set, only IPv4 and ARP sent by those hosts are tapped);
// addresses in network order, 0 for an empty slot. Every filter takes inbound frames only, and
// only frames as long as the shortest one of their kind: IPv4 38, ARP 42, IPv6 54 bytes.
PylonCaptureFilters BuildPylonCaptureFilters(std::span<const uint32_t> local,
                                             std::span<const uint32_t> sources);

}  // namespace velmora
