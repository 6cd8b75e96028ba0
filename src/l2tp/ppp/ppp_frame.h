#pragma once

#include <cstdint>
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

}  // namespace velmora::l2tp
