#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace velmora {

// What can be wrong with a datagram that reaches the inserter.
enum class SinkDefect {
  kNone,
  kShortHeader,    // fewer than the 8 bytes of the QoS header
  kBadSeparator,   // byte 4 or byte 7 is not ","
  kShortFrame,     // no complete MAC header after the QoS header
  kNotIp,          // the version nibble is neither 4 nor 6
  kTruncatedIp,    // shorter than its IP header, or than the IP length it declares
  kQosIpMismatch,  // the QoS IP is not the destination (its last four bytes for IPv6)
};
inline constexpr int kSinkDefects = 7;

std::string_view SinkDefectName(SinkDefect defect);

// One inserter datagram taken apart. The frame refers to the datagram's bytes.
struct SinkDatagram {
  SinkDefect defect = SinkDefect::kNone;
  uint32_t qos_ip = 0;  // network order, as carried
  uint16_t pid = 0;
  std::span<const uint8_t> frame;  // the Ethernet frame after the QoS header
  int ip_version = 0;
  std::string source;  // the IP addresses as text
  std::string destination;
  uint8_t protocol = 0;  // IPv4 protocol or IPv6 next header
  size_t ip_length = 0;  // the length the IP header declares, headers included
};

// Checks and decodes the bytes of one received datagram; never reads past them.
SinkDatagram DecodeSinkDatagram(std::span<const uint8_t> datagram);

// One line for the verbose listing: PID, QoS IP, MACs, addresses, protocol and lengths.
std::string DescribeSinkDatagram(const SinkDatagram& datagram);

}  // namespace velmora
