#include "l2tp/ppp/ppp_frame.h"

#include <cstring>

namespace velmora::l2tp {

std::vector<uint8_t> PppFrame(uint16_t protocol, uint8_t code, uint8_t id,
                              std::span<const uint8_t> data) {
  const size_t length = 4 + data.size();
  std::vector<uint8_t> frame = {
      0xFF, 0x03, static_cast<uint8_t>(protocol >> 8), static_cast<uint8_t>(protocol),
      code, id,   static_cast<uint8_t>(length >> 8),   static_cast<uint8_t>(length)};
  // resize and copy: GCC 12 at -O3 misreads an insert behind a small vector as out of bounds.
  frame.resize(8 + data.size());
  if (!data.empty()) std::memcpy(frame.data() + 8, data.data(), data.size());
  return frame;
}

}  // namespace velmora::l2tp
