#include "l2tp/address_pool.h"

#include <arpa/inet.h>

namespace velmora::l2tp {

AddressPool::AddressPool(uint32_t start, uint32_t size) : start_(ntohl(start)), size_(size) {
  // A pool never wraps past 255.255.255.255.
  if (uint64_t{start_} + size_ > uint64_t{1} << 32) size_ = UINT32_MAX - start_ + 1;
}

uint32_t AddressPool::Allocate() {
  // Both sets are ordered, so the first gap is found in one walk over them.
  uint32_t candidate = start_;
  auto allocated = allocated_.lower_bound(start_);
  auto kept = kept_.lower_bound(start_);
  for (;;) {
    if (allocated != allocated_.end() && *allocated == candidate) {
      ++allocated;
    } else if (kept != kept_.end() && *kept == candidate) {
      ++kept;
    } else {
      break;
    }
    ++candidate;
  }
  if (candidate - start_ >= size_) return 0;
  allocated_.insert(candidate);
  return htonl(candidate);
}

void AddressPool::Release(uint32_t address) {
  allocated_.erase(ntohl(address));
}

void AddressPool::Keep(uint32_t address) {
  kept_.insert(ntohl(address));
}

void AddressPool::Unkeep(uint32_t address) {
  kept_.erase(ntohl(address));
}

bool AddressPool::InUse(uint32_t address) const {
  return allocated_.contains(ntohl(address)) || kept_.contains(ntohl(address));
}

void CallAddresses::Keep(uint32_t address) {
  if (address == pool_address_) address = 0;  // held by the call already
  if (address == kept_) return;
  if (kept_ != 0) pool_.Unkeep(kept_);
  kept_ = address;
  if (kept_ != 0) pool_.Keep(kept_);
}

bool CallAddresses::OfAnotherCall(uint32_t address) const {
  return address != pool_address_ && address != kept_ && pool_.InUse(address);
}

}  // namespace velmora::l2tp
