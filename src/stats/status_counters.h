#pragma once

#include <atomic>
#include <cstdint>

namespace velmora {

// The counters and activity flags of the packet path that the status panel and the remote control
// show. Source and sending threads add to them; the console thread reads the byte counters and
// flags and zeroes them every refresh. Every member may be touched from any thread.
struct StatusCounters {
  std::atomic<uint32_t> unicast_packets{0};
  std::atomic<uint32_t> multicast_packets{0};
  std::atomic<uint32_t> unicast_bytes{0};    // of the current two-second interval
  std::atomic<uint32_t> multicast_bytes{0};  // of the current two-second interval
  std::atomic<uint32_t> unicast_frames{0};   // datagrams produced
  std::atomic<uint32_t> multicast_frames{0};
  std::atomic<uint32_t> resolved_packets{0};
  std::atomic<uint32_t> resolution_failures{0};
  std::atomic<uint32_t> arp_requests{0};
  std::atomic<uint32_t> arp_answers{0};
  std::atomic<uint32_t> bad_packets{0};  // refused as malformed

  // Frames the sources dropped, by reason; "Reset counters" leaves them, so that they only grow.
  std::atomic<uint64_t> oversized_drops{0};      // too big for an output queue slot
  std::atomic<uint64_t> traffic_limit_drops{0};  // over the traffic limit of the interval

  std::atomic<bool> external_active{false};
  std::atomic<bool> routed_active{false};
  std::atomic<bool> internal_active{false};
  std::atomic<bool> internal_warning{false};

  // A packet passed on: one packet and its payload bytes.
  void CountPacket(bool multicast, uint32_t payload) {
    CountArrival(multicast);
    CountBytes(multicast, payload);
  }
  // A packet counted when it arrives; its bytes follow once it is passed on.
  void CountArrival(bool multicast) {
    (multicast ? multicast_packets : unicast_packets).fetch_add(1, std::memory_order_relaxed);
  }
  void CountBytes(bool multicast, uint32_t payload) {
    (multicast ? multicast_bytes : unicast_bytes).fetch_add(payload, std::memory_order_relaxed);
  }
  void CountFrame(bool multicast) {
    (multicast ? multicast_frames : unicast_frames).fetch_add(1, std::memory_order_relaxed);
  }
  // The PID lookup of a frame: found or not.
  void CountResolution(bool found) {
    (found ? resolved_packets : resolution_failures).fetch_add(1, std::memory_order_relaxed);
  }

  // "Reset counters": everything back to zero.
  void Reset();
};

}  // namespace velmora
