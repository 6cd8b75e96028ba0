#pragma once

#include <atomic>
#include <cstdint>

namespace velmora {

// The counters and activity flags of the packet path that the status panel shows. Source and
// sending threads add to them; the console thread reads the byte counters and flags and zeroes
// them every refresh. Every member may be touched from any thread.
struct StatusCounters {
  std::atomic<uint32_t> unicast_packets{0};
  std::atomic<uint32_t> multicast_packets{0};
  std::atomic<uint32_t> unicast_bytes{0};    // of the current two-second interval
  std::atomic<uint32_t> multicast_bytes{0};  // of the current two-second interval
  std::atomic<uint32_t> arp_requests{0};
  std::atomic<uint32_t> resolution_failures{0};

  std::atomic<bool> external_active{false};
  std::atomic<bool> routed_active{false};
  std::atomic<bool> internal_active{false};
  std::atomic<bool> internal_warning{false};

  // "Reset counters": everything back to zero.
  void Reset();
};

}  // namespace velmora
