#include "platform/local_addresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>

namespace velmora {

std::vector<std::string> LocalIpv4Addresses() {
  std::vector<std::string> result;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return result;
  for (ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
    if ((a->ifa_flags & IFF_LOOPBACK) != 0) continue;
    char text[INET_ADDRSTRLEN] = {};
    const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
    if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) == nullptr) continue;
    if (std::find(result.begin(), result.end(), text) == result.end()) result.emplace_back(text);
  }
  freeifaddrs(list);
  return result;
}

std::vector<Ipv6Address> LocalIpv6Addresses() {
  std::vector<Ipv6Address> result;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return result;
  for (ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET6) continue;
    const auto* in = reinterpret_cast<const sockaddr_in6*>(a->ifa_addr);
    Ipv6Address address;
    std::copy_n(in->sin6_addr.s6_addr, address.size(), address.begin());
    result.push_back(address);
  }
  freeifaddrs(list);
  return result;
}

}  // namespace velmora
