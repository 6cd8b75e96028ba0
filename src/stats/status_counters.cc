#include "stats/status_counters.h"

namespace velmora {

void StatusCounters::Reset() {
  for (auto* counter : {&unicast_packets, &multicast_packets, &unicast_bytes, &multicast_bytes,
                        &unicast_frames, &multicast_frames, &resolved_packets, &resolution_failures,
                        &arp_requests, &arp_answers, &bad_packets}) {
    counter->store(0);
  }
  for (auto* flag : {&external_active, &routed_active, &internal_active, &internal_warning}) {
    flag->store(false);
  }
}

}  // namespace velmora
