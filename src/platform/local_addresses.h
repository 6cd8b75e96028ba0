#pragma once

#include <string>
#include <vector>

#include "platform/address_text.h"

namespace velmora {

// The machine's IPv4 addresses as dotted text, loopback left out, in interface order.
std::vector<std::string> LocalIpv4Addresses();

// Every IPv6 address of the machine's interfaces, loopback and link-local ones included.
std::vector<Ipv6Address> LocalIpv6Addresses();

}  // namespace velmora
