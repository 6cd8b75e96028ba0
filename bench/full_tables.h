#pragma once

#include <arpa/inet.h>

#include <algorithm>
#include <random>
#include <vector>

#include "tables/network_tables.h"

namespace velmora {

// Full tables and the addresses to look up: every second one present.
struct FullTables {
  static constexpr SubnetId kIpv6Subnet = 1000;
  FullTables() {
    std::mt19937 random(1);
    TableSnapshot snapshot;
    for (uint32_t i = 0; i < kMaxSubnets; ++i) {
      snapshot.InsertSubnet({.id = i + 1,
                             .Alias = "net",
                             .IPSubNetAddr = htonl(0x0a000000u | i << 16),
                             .IPSubNetMask = htonl(0xffff0000u),
                             .IPSubNetMAC = "SubNet",
                             .IPSubNetPID = static_cast<uint16_t>(i)});
    }
    snapshot.InsertIpv6Subnet({.id = kIpv6Subnet, .Alias = "v6", .IPSubNetPID = 0x0456});
    for (uint32_t i = 0; i < kMaxIpMacRows; ++i) {
      const uint32_t address = htonl(0x0a000000u | (i % 128) << 16 | (i / 128 + 1));
      snapshot.InsertIpMacRow({.address = address,
                               .address_text = "10.0.0.1",
                               .mac_text = "00-00-00-00-00-01",
                               .subnet = i % 128 + 1,
                               .profile_alias = "Gold"});
      ipv4.push_back(address);
      ipv4.push_back(htonl(0x0a000000u | (random() % 128) << 16 | 0x8000 | (random() & 0xff)));
      Ipv6Address v6{};
      for (uint8_t& byte : v6) byte = static_cast<uint8_t>(random());
      snapshot.InsertIpv6MacRow({.address = v6,
                                 .address_text = "2001:db8::1",
                                 .mac_text = "00-00-00-00-00-01",
                                 .subnet = kIpv6Subnet,
                                 .profile_alias = "Gold"});
      ipv6.push_back(v6);
      v6[15] ^= 0x5a;
      ipv6.push_back(v6);
    }
    std::shuffle(ipv4.begin(), ipv4.end(), random);
    std::shuffle(ipv6.begin(), ipv6.end(), random);
    tables.Publish(std::move(snapshot));
  }
  NetworkTables tables;
  std::vector<uint32_t> ipv4;
  std::vector<Ipv6Address> ipv6;
};

inline FullTables& Tables() {
  static FullTables tables;
  return tables;
}

}  // namespace velmora
