#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace velmora {

// The log's views of a frame (destination MAC at 0, IPv4 header at 14). Each prints only bytes
// that are there: a frame too short for a view gives an empty text.

// Three lines: version, header length, TOS, length; identification, flags, fragment offset,
// TTL, protocol; source and destination. Needs 34 bytes.
std::string IpDump(std::span<const uint8_t> frame);
// The UDP header after a 20-byte IPv4 header and up to ten bytes after it. Needs 42 bytes.
std::string UdpDump(std::span<const uint8_t> frame);
// The IP dump that the sources log, with the UDP dump at log level 3.
std::string PacketDump(std::span<const uint8_t> frame, int level);
// "    MACdst=..." and "    MACsrc=..." lines. Needs 12 bytes.
std::string MacDump(std::span<const uint8_t> frame);

}  // namespace velmora
