#include "app/settings.h"

namespace velmora {

int64_t TrafficLimitBytes(int32_t max_payload_cut) {
  return int64_t{max_payload_cut} * 256000 / 1000000;
}

}  // namespace velmora
