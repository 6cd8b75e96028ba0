#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velmora::l2tp {

// The AVP hiding of RFC 2661 section 4.3: the value, preceded by its 2-byte length and followed by
// padding, exclusive-ored with MD5 chains over the attribute type, the tunnel secret and the
// message's Random Vector.

// The hidden form of `value` with `padding` extra bytes of zeros.
std::vector<uint8_t> HideAvpValue(uint16_t type, std::span<const uint8_t> secret,
                                  std::span<const uint8_t> random_vector,
                                  std::span<const uint8_t> value, size_t padding = 0);

// The value within a hidden one (at least the 2 length bytes), or none with `error` when the
// length it carries does not fit.
std::optional<std::vector<uint8_t>> UnhideAvpValue(uint16_t type, std::span<const uint8_t> secret,
                                                   std::span<const uint8_t> random_vector,
                                                   std::span<const uint8_t> hidden,
                                                   std::string& error);

}  // namespace velmora::l2tp
