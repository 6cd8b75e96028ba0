#pragma once

#include <cstdint>
#include <string>

namespace velmora::TessaroBWControl {

// One user profile: the bandwidth reserved for all its addresses together, and what each single
// address may use at most and is guaranteed. All figures in bit/s.
struct BWCProfile {
  std::string alias;
  uint32_t summary = 0;
  uint32_t maximum = 0;
  uint32_t guarantee = 0;
  uint32_t peak = 0;  // highest summed current bandwidth of its addresses since the last reset
};

}  // namespace velmora::TessaroBWControl
