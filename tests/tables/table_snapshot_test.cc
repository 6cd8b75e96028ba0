#include "tables/table_snapshot.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

namespace velmora {
namespace {

uint32_t Ip(const char* text) {
  return DottedToAddress(text);
}

SubnetEntry Subnet(SubnetId id, uint32_t address, uint32_t mask) {
  return {.id = id, .IPSubNetAddr = address, .IPSubNetMask = mask, .IPSubNetPID = 1};
}

TEST(TableSnapshotTest, NestedSubnetsResolveToTheOneTheSearchFinds) {
  TableSnapshot tables;
  tables.InsertSubnet(Subnet(2, Ip("10.1.0.0"), Ip("255.255.0.0")));
  tables.InsertSubnet(Subnet(1, Ip("10.0.0.0"), Ip("255.0.0.0")));
  tables.InsertSubnet(Subnet(3, Ip("192.168.1.0"), Ip("255.255.255.0")));
  ASSERT_NE(tables.FindSubnetForAddress(Ip("10.1.2.3")), nullptr);
  EXPECT_EQ(tables.FindSubnetForAddress(Ip("10.1.2.3"))->id, 1u);
  EXPECT_EQ(tables.FindSubnetForAddress(Ip("192.168.1.9"))->id, 3u);
  EXPECT_EQ(tables.FindSubnetForAddress(Ip("172.16.0.1")), nullptr);  // in none
  EXPECT_EQ(tables.FindSubnetForAddress(Ip("200.0.0.1")), nullptr);   // above the last
  EXPECT_EQ(TableSnapshot().FindSubnetForAddress(Ip("10.0.0.1")), nullptr);
}

// Random disjoint subnets and rows, searched against a linear scan.
TEST(TableSnapshotTest, LookupsAgreeWithALinearScan) {
  std::mt19937 random(7);
  for (int round = 0; round < 4; ++round) {
    TableSnapshot tables;
    std::vector<SubnetEntry> subnets;
    std::set<uint32_t> used;
    const int count = 1 + static_cast<int>(random() % 128);
    for (int i = 0; i < count; ++i) {
      const uint32_t block = random() % 4096;  // /20 blocks, the prefix shortened below
      const int prefix = 20 + static_cast<int>(random() % 13);
      if (!used.insert(block).second) continue;
      const uint32_t mask = prefix == 32 ? 0xffffffffu : ~((1u << (32 - prefix)) - 1);
      const SubnetEntry entry =
          Subnet(static_cast<SubnetId>(i + 1), htonl(block << 20), htonl(mask));
      subnets.push_back(entry);
      tables.InsertSubnet(entry);
    }
    std::vector<IpMacEntry> rows;
    std::map<uint32_t, SubnetId> reference;
    for (int i = 0; i < 4096; ++i) {
      const uint32_t address = htonl(static_cast<uint32_t>(random()));
      if (!reference.emplace(address, static_cast<SubnetId>(i)).second) continue;
      rows.push_back({.address = address, .subnet = static_cast<SubnetId>(i)});
      tables.InsertIpMacRow(rows.back());
    }
    for (int probe = 0; probe < 1000; ++probe) {
      const uint32_t host = probe % 2 == 0 ? static_cast<uint32_t>(random())
                                           : (random() % 4096) << 20 | (random() % 4096);
      const SubnetEntry* expected = nullptr;
      for (const SubnetEntry& s : subnets) {
        if ((htonl(host) & s.IPSubNetMask) == s.IPSubNetAddr) expected = &s;
      }
      const SubnetEntry* found = tables.FindSubnetForAddress(htonl(host));
      ASSERT_EQ(found == nullptr, expected == nullptr) << std::hex << host;
      if (found != nullptr) {
        EXPECT_EQ(found->id, expected->id);
      }
      const uint32_t row_address = probe % 3 == 0 ? rows[probe % rows.size()].address : htonl(host);
      const IpMacEntry* row = tables.FindIpMacRow(row_address);
      const auto expected_row = reference.find(row_address);
      ASSERT_EQ(row == nullptr, expected_row == reference.end());
      if (row != nullptr) {
        EXPECT_EQ(row->subnet, expected_row->second);
      }
    }
    for (size_t i = 1; i < tables.ip_mac_rows().size(); ++i) {
      ASSERT_LT(ntohl(tables.ip_mac_rows()[i - 1].address), ntohl(tables.ip_mac_rows()[i].address));
    }
  }
}

TEST(TableSnapshotTest, Ipv6RowsAreOrderedByLittleEndianWordsAndFound) {
  std::mt19937 random(11);
  TableSnapshot tables;
  std::vector<Ipv6Address> addresses;
  for (int i = 0; i < 4096; ++i) {
    Ipv6Address address;
    for (uint8_t& byte : address) byte = static_cast<uint8_t>(random() % 4);  // many near ties
    if (tables.FindIpv6MacRow(address) != nullptr) continue;
    addresses.push_back(address);
    tables.InsertIpv6MacRow({.address = address, .subnet = static_cast<SubnetId>(i)});
  }
  for (const Ipv6Address& address : addresses) {
    const Ipv6MacEntry* row = tables.FindIpv6MacRow(address);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->address, address);
  }
  Ipv6Address absent;
  absent.fill(9);
  EXPECT_EQ(tables.FindIpv6MacRow(absent), nullptr);
  // The first word decides first; within it the highest byte (the fourth) counts most.
  const auto word = [](const Ipv6Address& a) {
    return uint32_t{a[0]} | uint32_t{a[1]} << 8 | uint32_t{a[2]} << 16 | uint32_t{a[3]} << 24;
  };
  for (size_t i = 1; i < tables.ipv6_mac_rows().size(); ++i) {
    ASSERT_LE(word(tables.ipv6_mac_rows()[i - 1].address), word(tables.ipv6_mac_rows()[i].address));
  }
}

TEST(TableSnapshotTest, EqualEntriesKeepTheirOrderAndTruncationDropsRows) {
  TableSnapshot tables;
  tables.InsertIpv6Subnet({.id = 1, .Alias = "Same", .IPSubNetMAC = "a"});
  tables.InsertIpv6Subnet({.id = 2, .Alias = "Same", .IPSubNetMAC = "b"});
  tables.InsertIpv6Subnet({.id = 3, .Alias = "Sam", .IPSubNetMAC = "c"});
  EXPECT_EQ(tables.ipv6_subnets()[0].id, 3u);  // the shorter first
  EXPECT_EQ(tables.ipv6_subnets()[1].id, 1u);
  EXPECT_EQ(tables.ipv6_subnets()[2].id, 2u);
  tables.InsertSubnet(Subnet(1, Ip("10.0.0.0"), Ip("255.0.0.0")));
  tables.InsertSubnet(Subnet(2, Ip("11.0.0.0"), Ip("255.0.0.0")));
  tables.InsertIpMacRow({.address = Ip("11.0.0.1"), .subnet = 2});
  tables.InsertIpMacRow({.address = Ip("10.0.0.1"), .subnet = 1});
  tables.TruncateSubnets(1);
  ASSERT_EQ(tables.ip_mac_rows().size(), 1u);
  EXPECT_EQ(tables.FindIpMacRow(Ip("11.0.0.1")), nullptr);
  EXPECT_NE(tables.FindIpMacRow(Ip("10.0.0.1")), nullptr);
}

}  // namespace
}  // namespace velmora
