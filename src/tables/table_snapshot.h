#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "tables/table_entries.h"

namespace velmora {

// One consistent state of the four network tables, each sorted in its order. A published
// snapshot is never changed, so any number of threads may search it at once; the editor and the
// loader build a new one from a copy. Lookups search small key arrays beside the entries and
// allocate nothing.
class TableSnapshot {
 public:
  // The subnet that carries `address` (network order), found by one bisection over the subnets
  // in address order; with nested subnets that one search decides. Null when none matches.
  const SubnetEntry* FindSubnetForAddress(uint32_t address) const;
  // That search alone: the first subnet whose address is not below `address` masked with the
  // subnet's own mask, carrying it or not; null at the end of the table.
  const SubnetEntry* SubnetSearch(uint32_t address) const;
  const IpMacEntry* FindIpMacRow(uint32_t address) const;
  const Ipv6MacEntry* FindIpv6MacRow(const Ipv6Address& address) const;

  const SubnetEntry* FindSubnet(SubnetId id) const;
  const Ipv6SubnetEntry* FindIpv6Subnet(SubnetId id) const;
  // The table name of a row's subnet; empty for a row whose subnet is gone.
  std::string_view TableNameOf(const IpMacEntry& row) const;
  std::string_view TableNameOf(const Ipv6MacEntry& row) const;
  std::vector<const IpMacEntry*> RowsOf(SubnetId subnet) const;
  std::vector<const Ipv6MacEntry*> Ipv6RowsOf(SubnetId subnet) const;

  const std::vector<SubnetEntry>& subnets() const { return subnets_; }
  const std::vector<IpMacEntry>& ip_mac_rows() const { return rows_; }
  const std::vector<Ipv6SubnetEntry>& ipv6_subnets() const { return ipv6_subnets_; }
  const std::vector<Ipv6MacEntry>& ipv6_mac_rows() const { return ipv6_rows_; }

  // Changes, for a snapshot that is not published yet. Each insertion goes after the entries that
  // compare equal, so that the order of equal entries survives a save and a reload.
  void InsertSubnet(SubnetEntry entry);
  void InsertIpMacRow(IpMacEntry row);
  void InsertIpv6Subnet(Ipv6SubnetEntry entry);
  void InsertIpv6MacRow(Ipv6MacEntry row);
  void EraseSubnet(SubnetId id);
  void EraseIpv6Subnet(SubnetId id);
  void EraseIpMacRow(uint32_t address);
  void EraseIpv6MacRow(const Ipv6Address& address);
  // Every row of the subnet, or of no subnet that exists.
  void EraseRowsOf(SubnetId subnet);
  void EraseIpv6RowsOf(SubnetId subnet);
  void EraseOrphanRows();
  // Keeps the first `count` subnets in address order and the rows of those.
  void TruncateSubnets(size_t count);
  // Renames a subnet; its rows follow it.
  void RenameSubnet(SubnetId id, std::string name);
  void RenameIpv6Subnet(SubnetId id, std::string name);
  void LowerCaseMacTexts();

 private:
  // The 16 address bytes as four little-endian words, the first word most significant: the
  // order of the IPv6/MAC table.
  struct Ipv6Key {
    uint64_t high = 0;
    uint64_t low = 0;
    auto operator<=>(const Ipv6Key&) const = default;
  };
  static Ipv6Key KeyOf(const Ipv6Address& address);
  // Rebuilds the hash index of the IPv6 rows after rows were erased.
  void IndexIpv6Rows();

  std::vector<SubnetEntry> subnets_;
  std::vector<uint32_t> subnet_addrs_;  // host order, beside subnets_
  std::vector<uint32_t> subnet_masks_;
  std::vector<IpMacEntry> rows_;
  std::vector<uint32_t> row_keys_;  // host order, beside rows_
  std::vector<Ipv6SubnetEntry> ipv6_subnets_;
  std::vector<Ipv6MacEntry> ipv6_rows_;
  std::vector<Ipv6Key> ipv6_row_keys_;  // beside ipv6_rows_
  // The IPv6 lookup bisects 64-bit hashes of the addresses, sorted, each with its row's index:
  // half the bytes of the keys, so the search stays in the first-level cache.
  std::vector<uint64_t> ipv6_hashes_;
  std::vector<uint32_t> ipv6_hash_rows_;
};

}  // namespace velmora
