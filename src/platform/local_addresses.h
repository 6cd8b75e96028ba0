#pragma once

#include <string>
#include <vector>

namespace velmora {

// The machine's IPv4 addresses as dotted text, loopback left out, in interface order.
std::vector<std::string> LocalIpv4Addresses();

}  // namespace velmora
