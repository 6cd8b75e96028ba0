#pragma once

#include <cstdint>
#include <span>

#include "stats/status_counters.h"

namespace velmora {

// The two silent drops of the sources, tested before anything else is done with a frame.

// With traffic control on, a frame is dropped once the unicast and multicast bytes of the
// current console interval reach `limit_bytes` (the byte budget per refresh); each such frame
// counts in `traffic_limit_drops`.
bool OverTrafficLimit(StatusCounters& counters, bool traffic_control, int64_t limit_bytes);

// An unfragmented IPv4 frame (no flag, no offset) to a destination port below 256, whatever the
// protocol; frames shorter than their ports pass.
bool IsLowPortFrame(std::span<const uint8_t> frame);

}  // namespace velmora
