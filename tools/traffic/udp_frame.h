#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace velmora {

// An Ethernet frame carrying one IPv4/UDP packet, as a sender on the network would produce it:
// zero MACs, EtherType 0x0800, a 20-byte IPv4 header with a valid checksum and the UDP header
// (checksum 0). Addresses in network order.
std::vector<uint8_t> Ipv4UdpFrame(uint32_t source, uint32_t destination, uint16_t port,
                                  std::span<const uint8_t> payload);

// The same frame wrapped for the transparent port: QoS IP, ",", `pid`, ",", the frame. With pid 0
// (and the zero MAC) the router passes it through without resolving it.
std::vector<uint8_t> TransparentUdpDatagram(uint32_t source, uint32_t destination, uint16_t port,
                                            uint16_t pid, std::span<const uint8_t> payload);

}  // namespace velmora
