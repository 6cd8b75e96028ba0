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

uint32_t ReadLong(std::span<const uint8_t> v) {
  return uint32_t{v[0]} << 24 | uint32_t{v[1]} << 16 | uint32_t{v[2]} << 8 | v[3];
}

void PutOption(std::vector<uint8_t>& out, uint8_t type, std::initializer_list<uint8_t> value) {
  out.push_back(type);
  out.push_back(static_cast<uint8_t>(2 + value.size()));
  out.insert(out.end(), value);
}

void PutLongOption(std::vector<uint8_t>& out, uint8_t type, uint32_t value) {
  PutOption(out, type,
            {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
             static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)});
}

}  // namespace velmora::l2tp
