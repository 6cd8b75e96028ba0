#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace velmora {

// The addresses and header fields of one Ethernet frame that carries an IPv4/UDP packet.
// Addresses in network order, ports in host order.
struct UdpFrameFields {
  std::array<uint8_t, 6> destination_mac{};
  uint32_t source = 0;
  uint32_t destination = 0;
  uint16_t source_port = 0;
  uint16_t destination_port = 0;
  uint16_t identification = 0;
  uint8_t time_to_live = 64;
  bool udp_checksum = false;  // RFC 768 checksum over the pseudo header; 0 (none) otherwise
};

// Appends the frame to `out`: the destination MAC, a zero source MAC, EtherType 0x0800, a 20-byte
// IPv4 header with a valid checksum, the UDP header and the payload.
void AppendIpv4UdpFrame(const UdpFrameFields& fields, std::span<const uint8_t> payload,
                        std::vector<uint8_t>& out);

// Appends the QoS header of an inserter datagram: `qos_ip` (network order), ",", `pid`
// big-endian, ",".
void AppendQosHeader(uint32_t qos_ip, uint16_t pid, std::vector<uint8_t>& out);

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
