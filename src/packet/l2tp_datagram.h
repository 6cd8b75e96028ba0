#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "tables/table_snapshot.h"

namespace velmora {

// What became of one packet that the L2TP network server delivered.
enum class L2tpOutcome {
  kTooShort,       // shorter than its 42 bytes of headers
  kBadLength,      // the IPv4 total length exceeds what was delivered
  kBadQosHeader,   // a separator is not ","
  kBadIpVersion,   // not IPv4
  kUnresolvedPid,  // no subnet carries the destination
  kUnresolvedMac,  // a unicast destination without its IP/MAC row
  kResolved,
};

struct L2tpResult {
  L2tpOutcome outcome = L2tpOutcome::kTooShort;
  bool multicast = false;
  uint32_t destination = 0;  // network order
  size_t payload = 0;        // what the byte counters and the statistics count
};

inline constexpr size_t kL2tpHeadersSize = 42;  // QoS header, MAC header, IPv4 header

// The log level 3 trace of a delivered packet whose headers are acceptable, before it is
// resolved: a rule, the dump of the IPv4 packet and its MAC lines. Empty for any other packet.
std::string L2tpTrace(std::span<const uint8_t> datagram);

// Checks and resolves, in place, one delivered packet: the QoS header, MAC header and IPv4 packet
// of a user. Sets the QoS IP, the PID and the destination MAC (multicast: the fixed MAC; unicast:
// the IP/MAC row's, whatever the channel type). Nothing is read past the end of `datagram`.
L2tpResult ResolveL2tpDatagram(std::span<uint8_t> datagram, const TableSnapshot& tables);

}  // namespace velmora
