#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "packet/corvid_frame.h"
#include "tables/table_snapshot.h"

namespace velmora {

// The largest frame the tap's threads take on; longer ones are lost as of the wrong length.
inline constexpr size_t kMaxPylonFrame = 16384;
// The shortest IPv6 frame: up to the end of the fixed IPv6 header.
inline constexpr size_t kMinPylonIpv6Frame = 54;

// A tapped IPv4 frame decodes as a virtual adapter's frame does (same sizes, low-port filter,
// PID and outcomes), except that a multicast destination keeps the MAC it came with.
using PylonPortFrame = CorvidFrame;
CorvidFrame DecodePylonPortFrame(std::span<uint8_t> slot, const TableSnapshot& tables, bool dvb);

// A tapped IPv6 frame: kTooShort, kTooLong, kUnresolvedPid (no IPv6/MAC row for the destination,
// or its subnet is gone) or kResolved. From kUnresolvedPid on, `multicast` and `payload` (frame
// length - 54) are set; `destination` stays 0, since IPv6 is kept out of the statistics.
using PylonIpv6Frame = CorvidFrame;
// One IPv6 frame sitting at kQosHeaderSize in `slot`, which ends with the frame: the row of the
// destination (frame offset 38), its subnet's PID, the MAC rule of IPv6 and, when resolved, the
// QoS header written in place. No sockets, no counters.
PylonIpv6Frame DecodePylonIpv6Frame(std::span<uint8_t> slot, const TableSnapshot& tables, bool dvb);

}  // namespace velmora
