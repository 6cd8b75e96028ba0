#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tables/mac_address.h"
#include "tables/table_snapshot.h"

namespace velmora {

// The Ethernet-style frame every source builds (destination MAC, source MAC, EtherType, the IP
// packet at 14) and the inserter datagram around it: QoS IP, ",", the PID big-endian, ",", the
// frame. Offsets assume a 20-byte IPv4 header.
namespace frame {
inline constexpr size_t kIpv4Destination = 30;
inline constexpr size_t kIpv4HeadersEnd = 34;  // first byte after the IPv4 header
inline constexpr size_t kIpv6Destination = 38;
inline constexpr size_t kIpv6QosIp = 50;  // the destination's last four bytes
inline constexpr size_t kIpv6HeadersEnd = 54;
}  // namespace frame

inline constexpr size_t kQosHeaderSize = 8;
inline constexpr MacAddress kFixedMac = {0x00, 0x09, 0xb8, 0x0b, 0x02, 0x00};

// 224.0.0.0/4; `address` in network byte order as carried.
bool IsMulticastIpv4(const uint8_t* address);
bool IsMulticastIpv6(const uint8_t* address);
// 01:00:5E and the low 23 bits of the group.
MacAddress MulticastMac(const uint8_t* group);

// How a source treats the destination MAC of an IPv4 frame.
enum class Ipv4MacRule {
  kMapMulticast,   // the virtual adapter and the transparent port
  kKeepMulticast,  // the tap: a multicast frame keeps the MAC it came with
  kL2tpLink,       // multicast gets the fixed MAC; unicast always needs its row
};

// Sets the destination MAC of an IPv4 frame (at least 34 bytes): the multicast rule, else on a DVB
// channel the MAC of the destination's IP/MAC row, else the fixed MAC. False when a unicast
// destination needs a row and has none, or the frame is too short.
bool ResolveIpv4Mac(std::span<uint8_t> frame, Ipv4MacRule rule, const TableSnapshot& tables,
                    bool dvb);
// The same for an IPv6 frame (at least 54 bytes) whose row was found for its PID: multicast
// frames keep their MAC; unicast ones take the row's MAC on DVB, else the fixed MAC.
bool ResolveIpv6Mac(std::span<uint8_t> frame, const Ipv6MacEntry* row, bool dvb);

// The QoS header in front of a frame that already sits at kQosHeaderSize in `datagram`, written
// in place; false for a frame too short for its QoS IP.
bool WriteQosHeader(std::span<uint8_t> datagram, uint16_t pid, bool ipv6);
// The inserter datagram of a frame into `out` (cleared first); false for a frame too short for
// its QoS IP.
bool BuildDatagram(std::span<const uint8_t> frame, uint16_t pid, bool ipv6,
                   std::vector<uint8_t>& out);

}  // namespace velmora
