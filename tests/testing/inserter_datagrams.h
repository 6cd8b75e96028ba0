#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "packet/inserter_datagram.h"
#include "platform/address_text.h"

namespace velmora::testing {

// An inserter-format datagram as a program would send it to the transparent port: QoS header with
// QoS IP 9.9.9.9 and `pid`, a frame whose destination MAC is `mac_byte` in every byte, and an
// IPv4 packet to `destination` (IPv6 when `v6`), filled up to `size` bytes with 0x5a.
inline std::vector<uint8_t> TransparentDatagram(const char* destination, uint16_t pid,
                                                uint8_t mac_byte, size_t size = 100,
                                                bool v6 = false) {
  std::vector<uint8_t> d(size, 0x5a);
  d[0] = d[1] = d[2] = d[3] = 9;
  d[4] = d[7] = ',';
  d[5] = static_cast<uint8_t>(pid >> 8);
  d[6] = static_cast<uint8_t>(pid);
  std::fill(d.begin() + 8, d.begin() + 14, mac_byte);
  if (v6) {
    d[22] = 0x60;
    const Ipv6Address a = *TextToIpv6(destination);
    std::copy(a.begin(), a.end(), d.begin() + 8 + frame::kIpv6Destination);
  } else {
    d[22] = 0x45;
    const uint32_t a = DottedToAddress(destination);
    std::memcpy(d.data() + 8 + frame::kIpv4Destination, &a, 4);
  }
  return d;
}

inline std::string AsText(const std::vector<uint8_t>& bytes) {
  return {bytes.begin(), bytes.end()};
}

}  // namespace velmora::testing
