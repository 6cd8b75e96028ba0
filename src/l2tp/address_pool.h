#pragma once

#include <cstddef>
#include <cstdint>
#include <set>

namespace velmora::l2tp {

// The user addresses of a server run: `size` addresses from `start` (network order), each
// handed out at most once until it is released, the lowest free one first. Owned by the server
// thread.
class AddressPool {
 public:
  AddressPool(uint32_t start, uint32_t size);

  // A free address in network order, or 0 when all are in use.
  uint32_t Allocate();
  void Release(uint32_t address);
  bool InUse(uint32_t address) const;
  size_t in_use() const { return in_use_.size(); }

 private:
  uint32_t start_;  // host order
  uint32_t size_;
  std::set<uint32_t> in_use_;  // host order
};

}  // namespace velmora::l2tp
