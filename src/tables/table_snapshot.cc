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

// The first key not below `key`, found without branches that depend on the data: the packet
// path's lookups go through here.
template <typename Key>
size_t LowerBound(const Key* keys, size_t count, const Key& key) {
  if (count == 0) return 0;
  const Key* base = keys;
  size_t length = count;
  while (length > 1) {
    const size_t half = length / 2;
    base += half & (size_t{0} - (base[half - 1] < key));  // no branch to mispredict
    length -= half;
  }
  return static_cast<size_t>(base - keys) + (*base < key ? 1 : 0);
}

template <typename Key>
size_t LowerBound(const std::vector<Key>& keys, const Key& key) {
  return LowerBound(keys.data(), keys.size(), key);
}

uint64_t Ipv6Hash(const Ipv6Address& address) {
  uint64_t high, low;
  std::memcpy(&high, address.data(), sizeof high);
  std::memcpy(&low, address.data() + sizeof high, sizeof low);
  uint64_t h = (high * 0x9e3779b97f4a7c15u) ^ low;
  h ^= h >> 29;
  h *= 0xbf58476d1ce4e5b9u;
  return h ^ (h >> 32);
}

}  // namespace

TableSnapshot::Ipv6Key TableSnapshot::KeyOf(const Ipv6Address& address) {
  uint32_t words[4];
  std::memcpy(words, address.data(), sizeof words);
  return {uint64_t{words[0]} << 32 | words[1], uint64_t{words[2]} << 32 | words[3]};
}

const SubnetEntry* TableSnapshot::SubnetSearch(uint32_t address) const {
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
  return first == subnets_.size() ? nullptr : &subnets_[first];
}

const SubnetEntry* TableSnapshot::FindSubnetForAddress(uint32_t address) const {
  const SubnetEntry* subnet = SubnetSearch(address);
  if (subnet == nullptr || (address & subnet->IPSubNetMask) != subnet->IPSubNetAddr) return nullptr;
  return subnet;
}

const IpMacEntry* TableSnapshot::FindIpMacRow(uint32_t address) const {
  const uint32_t key = ntohl(address);
  const size_t at = LowerBound(row_keys_, key);
  if (at == row_keys_.size() || row_keys_[at] != key) return nullptr;
  return &rows_[at];
}

const Ipv6MacEntry* TableSnapshot::FindIpv6MacRow(const Ipv6Address& address) const {
  const uint64_t hash = Ipv6Hash(address);
  for (size_t at = LowerBound(ipv6_hashes_, hash);
       at < ipv6_hashes_.size() && ipv6_hashes_[at] == hash; ++at) {
    const Ipv6MacEntry& row = ipv6_rows_[ipv6_hash_rows_[at]];
    if (row.address == address) return &row;
  }
  return nullptr;
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
  const uint64_t hash = Ipv6Hash(row.address);
  const auto at = std::upper_bound(ipv6_row_keys_.begin(), ipv6_row_keys_.end(), key);
  const auto index = static_cast<uint32_t>(at - ipv6_row_keys_.begin());
  ipv6_rows_.insert(ipv6_rows_.begin() + index, std::move(row));
  ipv6_row_keys_.insert(at, key);
  for (uint32_t& row_index : ipv6_hash_rows_) row_index += row_index >= index ? 1 : 0;
  const auto place = std::upper_bound(ipv6_hashes_.begin(), ipv6_hashes_.end(), hash);
  ipv6_hash_rows_.insert(ipv6_hash_rows_.begin() + (place - ipv6_hashes_.begin()), index);
  ipv6_hashes_.insert(place, hash);
}

void TableSnapshot::IndexIpv6Rows() {
  std::vector<std::pair<uint64_t, uint32_t>> index;
  for (size_t i = 0; i < ipv6_rows_.size(); ++i) {
    index.emplace_back(Ipv6Hash(ipv6_rows_[i].address), static_cast<uint32_t>(i));
  }
  std::sort(index.begin(), index.end());
  ipv6_hashes_.clear();
  ipv6_hash_rows_.clear();
  for (const auto& [hash, row] : index) {
    ipv6_hashes_.push_back(hash);
    ipv6_hash_rows_.push_back(row);
  }
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
  IndexIpv6Rows();
}

void TableSnapshot::EraseRowsOf(SubnetId subnet) {
  EraseRowsIf(rows_, row_keys_, [subnet](const IpMacEntry& row) { return row.subnet == subnet; });
}

void TableSnapshot::EraseIpv6RowsOf(SubnetId subnet) {
  EraseRowsIf(ipv6_rows_, ipv6_row_keys_,
              [subnet](const Ipv6MacEntry& row) { return row.subnet == subnet; });
  IndexIpv6Rows();
}

void TableSnapshot::EraseOrphanRows() {
  EraseRowsIf(rows_, row_keys_,
              [this](const IpMacEntry& row) { return FindSubnet(row.subnet) == nullptr; });
  EraseRowsIf(ipv6_rows_, ipv6_row_keys_,
              [this](const Ipv6MacEntry& row) { return FindIpv6Subnet(row.subnet) == nullptr; });
  IndexIpv6Rows();
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
