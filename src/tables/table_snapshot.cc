#include "tables/table_snapshot.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace velmora {

namespace {

template <typename Entry>
const Entry* FindById(const std::vector<Entry>& entries, SubnetId id) {
  for (const Entry& entry : entries) {
    if (entry.id == id) return &entry;
  }
  return nullptr;
}

template <typename Row>
std::vector<const Row*> RowsWith(const std::vector<Row>& rows, SubnetId subnet) {
  std::vector<const Row*> found;
  for (const Row& row : rows) {
    if (row.subnet == subnet) found.push_back(&row);
  }
  return found;
}

// Erases the rows for which `pred` holds, with their keys.
template <typename Row, typename Key, typename Pred>
void EraseRowsIf(std::vector<Row>& rows, std::vector<Key>& keys, Pred pred) {
  size_t kept = 0;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (pred(rows[i])) continue;
    if (kept != i) {
      rows[kept] = std::move(rows[i]);
      keys[kept] = keys[i];
    }
    ++kept;
  }
  rows.resize(kept);
  keys.resize(kept);
}

void LowerCase(std::string& text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

}  // namespace

TableSnapshot::Ipv6Key TableSnapshot::KeyOf(const Ipv6Address& address) {
  Ipv6Key key;
  std::memcpy(key.data(), address.data(), sizeof key);
  return key;
}

const SubnetEntry* TableSnapshot::FindSubnetForAddress(uint32_t address) const {
  const uint32_t ip = ntohl(address);
  size_t first = 0;
  size_t count = subnet_addrs_.size();
  while (count > 0) {
    const size_t half = count / 2;
    const size_t middle = first + half;
    if (subnet_addrs_[middle] < (subnet_masks_[middle] & ip)) {
      first = middle + 1;
      count -= half + 1;
    } else {
      count = half;
    }
  }
  if (first == subnet_addrs_.size()) return nullptr;
  if ((ip & subnet_masks_[first]) != subnet_addrs_[first]) return nullptr;
  return &subnets_[first];
}

const IpMacEntry* TableSnapshot::FindIpMacRow(uint32_t address) const {
  const uint32_t key = ntohl(address);
  const auto it = std::lower_bound(row_keys_.begin(), row_keys_.end(), key);
  if (it == row_keys_.end() || *it != key) return nullptr;
  return &rows_[static_cast<size_t>(it - row_keys_.begin())];
}

const Ipv6MacEntry* TableSnapshot::FindIpv6MacRow(const Ipv6Address& address) const {
  const Ipv6Key key = KeyOf(address);
  const auto it = std::lower_bound(ipv6_row_keys_.begin(), ipv6_row_keys_.end(), key);
  if (it == ipv6_row_keys_.end() || *it != key) return nullptr;
  return &ipv6_rows_[static_cast<size_t>(it - ipv6_row_keys_.begin())];
}

const SubnetEntry* TableSnapshot::FindSubnet(SubnetId id) const {
  return FindById(subnets_, id);
}

const Ipv6SubnetEntry* TableSnapshot::FindIpv6Subnet(SubnetId id) const {
  return FindById(ipv6_subnets_, id);
}

std::string_view TableSnapshot::TableNameOf(const IpMacEntry& row) const {
  const SubnetEntry* subnet = FindSubnet(row.subnet);
  return subnet != nullptr ? std::string_view(subnet->IPSubNetMAC) : std::string_view();
}

std::string_view TableSnapshot::TableNameOf(const Ipv6MacEntry& row) const {
  const Ipv6SubnetEntry* subnet = FindIpv6Subnet(row.subnet);
  return subnet != nullptr ? std::string_view(subnet->IPSubNetMAC) : std::string_view();
}

std::vector<const IpMacEntry*> TableSnapshot::RowsOf(SubnetId subnet) const {
  return RowsWith(rows_, subnet);
}

std::vector<const Ipv6MacEntry*> TableSnapshot::Ipv6RowsOf(SubnetId subnet) const {
  return RowsWith(ipv6_rows_, subnet);
}

void TableSnapshot::InsertSubnet(SubnetEntry entry) {
  const uint32_t key = ntohl(entry.IPSubNetAddr);
  const auto at = std::upper_bound(subnet_addrs_.begin(), subnet_addrs_.end(), key);
  const auto index = at - subnet_addrs_.begin();
  subnet_masks_.insert(subnet_masks_.begin() + index, ntohl(entry.IPSubNetMask));
  subnet_addrs_.insert(at, key);
  subnets_.insert(subnets_.begin() + index, std::move(entry));
}

void TableSnapshot::InsertIpMacRow(IpMacEntry row) {
  const uint32_t key = ntohl(row.address);
  const auto at = std::upper_bound(row_keys_.begin(), row_keys_.end(), key);
  rows_.insert(rows_.begin() + (at - row_keys_.begin()), std::move(row));
  row_keys_.insert(at, key);
}

void TableSnapshot::InsertIpv6Subnet(Ipv6SubnetEntry entry) {
  const auto at = std::upper_bound(
      ipv6_subnets_.begin(), ipv6_subnets_.end(), entry,
      [](const Ipv6SubnetEntry& a, const Ipv6SubnetEntry& b) { return a.Alias < b.Alias; });
  ipv6_subnets_.insert(at, std::move(entry));
}

void TableSnapshot::InsertIpv6MacRow(Ipv6MacEntry row) {
  const Ipv6Key key = KeyOf(row.address);
  const auto at = std::upper_bound(ipv6_row_keys_.begin(), ipv6_row_keys_.end(), key);
  ipv6_rows_.insert(ipv6_rows_.begin() + (at - ipv6_row_keys_.begin()), std::move(row));
  ipv6_row_keys_.insert(at, key);
}

void TableSnapshot::EraseSubnet(SubnetId id) {
  for (size_t i = 0; i < subnets_.size(); ++i) {
    if (subnets_[i].id != id) continue;
    subnets_.erase(subnets_.begin() + static_cast<ptrdiff_t>(i));
    subnet_addrs_.erase(subnet_addrs_.begin() + static_cast<ptrdiff_t>(i));
    subnet_masks_.erase(subnet_masks_.begin() + static_cast<ptrdiff_t>(i));
    return;
  }
}

void TableSnapshot::EraseIpv6Subnet(SubnetId id) {
  std::erase_if(ipv6_subnets_, [id](const Ipv6SubnetEntry& entry) { return entry.id == id; });
}

void TableSnapshot::EraseIpMacRow(uint32_t address) {
  EraseRowsIf(rows_, row_keys_,
              [address](const IpMacEntry& row) { return row.address == address; });
}

void TableSnapshot::EraseIpv6MacRow(const Ipv6Address& address) {
  EraseRowsIf(ipv6_rows_, ipv6_row_keys_,
              [&address](const Ipv6MacEntry& row) { return row.address == address; });
}

void TableSnapshot::EraseRowsOf(SubnetId subnet) {
  EraseRowsIf(rows_, row_keys_, [subnet](const IpMacEntry& row) { return row.subnet == subnet; });
}

void TableSnapshot::EraseIpv6RowsOf(SubnetId subnet) {
  EraseRowsIf(ipv6_rows_, ipv6_row_keys_,
              [subnet](const Ipv6MacEntry& row) { return row.subnet == subnet; });
}

void TableSnapshot::EraseOrphanRows() {
  EraseRowsIf(rows_, row_keys_,
              [this](const IpMacEntry& row) { return FindSubnet(row.subnet) == nullptr; });
  EraseRowsIf(ipv6_rows_, ipv6_row_keys_,
              [this](const Ipv6MacEntry& row) { return FindIpv6Subnet(row.subnet) == nullptr; });
}

void TableSnapshot::TruncateSubnets(size_t count) {
  if (subnets_.size() <= count) return;
  subnets_.resize(count);
  subnet_addrs_.resize(count);
  subnet_masks_.resize(count);
  EraseOrphanRows();
}

void TableSnapshot::RenameSubnet(SubnetId id, std::string name) {
  for (SubnetEntry& entry : subnets_) {
    if (entry.id == id) entry.IPSubNetMAC = std::move(name);
  }
}

void TableSnapshot::RenameIpv6Subnet(SubnetId id, std::string name) {
  for (Ipv6SubnetEntry& entry : ipv6_subnets_) {
    if (entry.id == id) entry.IPSubNetMAC = std::move(name);
  }
}

void TableSnapshot::LowerCaseMacTexts() {
  for (IpMacEntry& row : rows_) LowerCase(row.mac_text);
  for (Ipv6MacEntry& row : ipv6_rows_) LowerCase(row.mac_text);
}

}  // namespace velmora
