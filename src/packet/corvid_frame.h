#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "packet/inserter_datagram.h"
#include "tables/table_snapshot.h"

namespace velmora {

// The sizes of the frames that the virtual adapter's frame thread takes on.
inline constexpr size_t kMinCorvidFrame = 38;  // up to the destination port, which the filter reads
inline constexpr size_t kMaxCorvidFrame = 16384;

enum class CorvidOutcome {
  kTooShort,       // under kMinCorvidFrame bytes
  kTooLong,        // over kMaxCorvidFrame bytes
  kLowPort,        // dropped by the low-port filter
  kUnresolvedPid,  // no subnet carries the destination
  kUnresolvedMac,  // a unicast destination on a DVB channel without its IP/MAC row
  kResolved,       // `datagram` is ready for the inserter
};

struct CorvidFrame {
  CorvidOutcome outcome = CorvidOutcome::kTooShort;
  // From kUnresolvedPid on: the destination (network order), whether it is multicast, and the
  // payload size that the byte counters and the statistics count (frame length - 34).
  bool multicast = false;
  uint32_t destination = 0;
  uint32_t payload = 0;
  // kResolved: the slot from the QoS header to the end of the frame.
  std::span<uint8_t> datagram;
};

// One frame read from the virtual adapter, sitting at kQosHeaderSize in `slot`, which ends with
// the frame: the size checks, the low-port filter, the PID and the destination MAC, and for a
// resolved frame its QoS header written in place in front of it. No sockets, no counters: the
// frame thread counts and logs by the outcome. `rule` is how a multicast destination's MAC is set.
CorvidFrame DecodeCorvidFrame(std::span<uint8_t> slot, const TableSnapshot& tables, bool dvb,
                              Ipv4MacRule rule = Ipv4MacRule::kMapMulticast);

}  // namespace velmora
