#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/address_text.h"

namespace velmora {

// An Ethernet hardware address, first byte first.
using EthernetAddress = std::array<uint8_t, 6>;

// A neighbour solicitation (RFC 4861, 4.3) that can be answered: who asks, from which hardware
// address, and for which IPv6 address.
struct NeighbourSolicitation {
  Ipv6Address source{};       // the asker's unicast address
  Ipv6Address destination{};  // the target itself or its solicited-node group
  Ipv6Address target{};
  EthernetAddress asker{};  // its source link-layer address option, else the frame's source
};

// Ethernet (14), IPv6 (40), the advertisement (24) and its target link-layer address option (8).
inline constexpr size_t kNeighbourAdvertisementSize = 86;
using NeighbourAdvertisement = std::array<uint8_t, kNeighbourAdvertisementSize>;

// The ICMPv6 checksum of the packet behind the Ethernet header of `frame`: over the pseudo-header
// of its addresses, its length and next header 58, and its first `length` bytes behind the IPv6
// header as they stand (0 when they hold a correct checksum). The frame must hold them.
uint16_t Icmpv6Checksum(std::span<const uint8_t> frame, size_t length);

// The solicitation that an Ethernet frame carries, or none when the frame is anything else or a
// solicitation that is not to be answered: one without IPv6 next header 58 straight after the
// fixed header, with a hop limit other than 255, a wrong ICMPv6 checksum, a code other than 0, a
// multicast target, an option of length 0, a source that is unspecified (a duplicate-address
// probe) or multicast, or a destination that is neither the target nor its solicited-node group.
// Reads nothing beyond the frame and the IPv6 payload length.
std::optional<NeighbourSolicitation> ReadNeighbourSolicitation(std::span<const uint8_t> frame);

// The solicited advertisement that answers `solicitation` (RFC 4861, 4.4): from `mac` and the
// target address to the asker, with the solicited and override flags and `mac` as the target
// link-layer address.
NeighbourAdvertisement AdvertiseNeighbour(const NeighbourSolicitation& solicitation,
                                          const EthernetAddress& mac);

}  // namespace velmora
