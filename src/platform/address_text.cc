#include "platform/address_text.h"

#include <arpa/inet.h>

#include <cstring>

namespace velmora {

uint32_t DottedToAddress(const std::string& text) {
  return inet_addr(text.c_str());
}

sockaddr_in SocketAddress(uint32_t address, uint16_t port) {
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = address;
  at.sin_port = htons(port);
  return at;
}

std::string AddressToDotted(uint32_t address) {
  in_addr in{};
  in.s_addr = address;
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &in, text, sizeof text);
  return text;
}

std::optional<Ipv6Address> TextToIpv6(const std::string& text) {
  in6_addr in{};
  if (inet_pton(AF_INET6, text.c_str(), &in) != 1) return std::nullopt;
  Ipv6Address address;
  std::memcpy(address.data(), &in, address.size());
  return address;
}

std::string Ipv6ToText(const Ipv6Address& address) {
  in6_addr in{};
  std::memcpy(&in, address.data(), address.size());
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(AF_INET6, &in, text, sizeof text);
  return text;
}

}  // namespace velmora
