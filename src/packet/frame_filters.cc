#include "packet/frame_filters.h"

namespace velmora {

bool OverTrafficLimit(StatusCounters& counters, bool traffic_control, int64_t limit_bytes) {
  if (!traffic_control) return false;
  const int64_t bytes = int64_t{counters.unicast_bytes.load(std::memory_order_relaxed)} +
                        counters.multicast_bytes.load(std::memory_order_relaxed);
  if (bytes < limit_bytes) return false;
  counters.traffic_limit_drops.fetch_add(1, std::memory_order_relaxed);
  return true;
}

bool IsLowPortFrame(std::span<const uint8_t> frame) {
  if (frame.size() < 38) return false;
  const unsigned flags_offset = unsigned{frame[20]} << 8 | frame[21];
  const unsigned port = unsigned{frame[36]} << 8 | frame[37];
  return flags_offset == 0 && port < 256;
}

}  // namespace velmora
