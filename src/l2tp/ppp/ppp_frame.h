#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

namespace velmora::l2tp {

inline constexpr uint16_t kProtocolLcp = 0xC021;
inline constexpr uint16_t kProtocolPap = 0xC023;
inline constexpr uint16_t kProtocolChap = 0xC223;

// A PPP control packet as it goes to the peer: 0xFF 0x03, the protocol, code, identifier,
// length (4 + data) and the data.
std::vector<uint8_t> PppFrame(uint16_t protocol, uint8_t code, uint8_t id,
                              std::span<const uint8_t> data);

// Configure options: type, length (2 + value) and value.
uint32_t ReadLong(std::span<const uint8_t> value);
void PutOption(std::vector<uint8_t>& out, uint8_t type, std::initializer_list<uint8_t> value);
void PutLongOption(std::vector<uint8_t>& out, uint8_t type, uint32_t value);

// Calls `each(type, value, whole option)` for every option of a well-formed list.
template <typename Each>
void ForEachOption(std::span<const uint8_t> options, Each each) {
  for (size_t at = 0; at + 2 <= options.size() && options[at + 1] >= 2;) {
    const size_t length = std::min<size_t>(options[at + 1], options.size() - at);
    each(options[at], options.subspan(at + 2, length - 2), options.subspan(at, length));
    at += length;
  }
}

}  // namespace velmora::l2tp
