#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmora {

// A destination MAC address: six bytes, first byte first.
using MacAddress = std::array<uint8_t, 6>;

// Six hexadecimal parts separated by ":" or "-"; each part holds at least one hexadecimal digit
// and nothing else, and its low byte is stored. None for any other text.
std::optional<MacAddress> ParseMac(std::string_view text);

// The strict form: 17 characters with five separators that are all ":" or all "-", read as
// ParseMac reads it. None for any other text.
std::optional<MacAddress> ParseFullMac(std::string_view text);

// The MAC as the router prints it: "00-0A-1B-2C-3D-4E".
std::string MacText(const MacAddress& mac);

// The next MAC when the six bytes are one 48-bit big-endian number; wraps at 2^48.
MacAddress NextMac(MacAddress mac);

}  // namespace velmora
