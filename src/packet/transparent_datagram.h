#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tables/table_snapshot.h"

namespace velmora {

// What became of one datagram received on the transparent port.
enum class TransparentOutcome {
  kTooLong,        // over 4072 bytes
  kBadQosHeader,   // shorter than the QoS header, or a separator is not ","
  kBadIpPacket,    // neither IPv4 nor IPv6, or shorter than its headers
  kUnresolvedPid,  // IPv4: no subnet carries the destination
  kUnresolvedMac,  // IPv4: a unicast destination without its IP/MAC row on DVB
  kIpv6NoPid,      // IPv6: no IPv6/MAC row, or the row has no subnet
  kPassedIpv4,     // zero MAC and PID: handed on with the QoS IP set
  kPassedIpv6,     // zero MAC and PID: handed on unchanged
  kResolvedIpv4,
  kResolvedIpv6,
};

struct TransparentResult {
  TransparentOutcome outcome = TransparentOutcome::kBadQosHeader;
  bool multicast = false;
  uint32_t destination = 0;           // IPv4, network order
  size_t payload = 0;                 // what the byte counters and the statistics count
  std::span<const uint8_t> datagram;  // what to hand over; empty when refused
};

inline constexpr size_t kTransparentMaxDatagram = 4072;

// The log level 3 trace of a datagram whose QoS header is acceptable, as it was received: the QoS
// line and, for IPv4, the dumps of the frame. Empty for any other datagram.
std::string TransparentTrace(std::span<const uint8_t> datagram);

// Checks and resolves one transparent-port datagram. An IPv4 one is corrected in place (QoS IP,
// PID, destination MAC); an IPv6 one is rebuilt into `rebuilt`. Nothing is read past the end of
// `datagram`. Takes bytes and gives a result; the thread does the counting and logging.
TransparentResult HandleTransparentDatagram(std::span<uint8_t> datagram,
                                            const TableSnapshot& tables, bool dvb,
                                            std::vector<uint8_t>& rebuilt);

}  // namespace velmora
