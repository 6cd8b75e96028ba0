#pragma once

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmora {

// The 16 bytes of an IPv6 address as carried in a packet.
using Ipv6Address = std::array<uint8_t, 16>;

// The platform's dotted-address conversion for IPv4 (network byte order; all ones for a text it
// cannot read, which 255.255.255.255 also gives) and its inverse.
uint32_t DottedToAddress(const std::string& text);
std::string AddressToDotted(uint32_t address);

// The socket address of `address` (network order) and `port` (host order).
sockaddr_in SocketAddress(uint32_t address, uint16_t port);

// The platform's text-to-address conversion for IPv6; none for a text it cannot read.
std::optional<Ipv6Address> TextToIpv6(const std::string& text);
// The platform's address-to-text conversion for IPv6 (the shortest form, "2001:db8::5").
std::string Ipv6ToText(const Ipv6Address& address);

}  // namespace velmora
