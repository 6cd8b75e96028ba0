#include "l2tp/address_pool.h"

#include <arpa/inet.h>

namespace velmora::l2tp {

AddressPool::AddressPool(uint32_t start, uint32_t size) : start_(ntohl(start)), size_(size) {
  // A pool never wraps past 255.255.255.255.
  if (uint64_t{start_} + size_ > uint64_t{1} << 32) size_ = UINT32_MAX - start_ + 1;
}

uint32_t AddressPool::Allocate() {
  // The addresses in use are ordered, so the first gap is found in one walk over them.
  uint32_t candidate = start_;
  for (auto used = in_use_.lower_bound(start_); used != in_use_.end() && *used == candidate;
       ++used) {
    ++candidate;
  }
  if (candidate - start_ >= size_) return 0;
  in_use_.insert(candidate);
  return htonl(candidate);
}

void AddressPool::Release(uint32_t address) {
  in_use_.erase(ntohl(address));
}

bool AddressPool::InUse(uint32_t address) const {
  return in_use_.contains(ntohl(address));
}

}  // namespace velmora::l2tp
