#pragma once

#include <cstddef>
#include <cstdint>
#include <set>

namespace velmora::l2tp {

// The user addresses of a server run: `size` addresses from `start` (network order), each
// handed out at most once until it is released, the lowest free one first. An address a user
// keeps as his own (inside the pool or not) is in use too, and never handed out while kept.
// Owned by the server thread.
class AddressPool {
 public:
  AddressPool(uint32_t start, uint32_t size);

  // A free address in network order, or 0 when all are in use.
  uint32_t Allocate();
  void Release(uint32_t address);
  void Keep(uint32_t address);
  void Unkeep(uint32_t address);
  // Allocated or kept.
  bool InUse(uint32_t address) const;
  // Allocated ones.
  size_t in_use() const { return allocated_.size(); }

 private:
  uint32_t start_;  // host order
  uint32_t size_;
  std::set<uint32_t> allocated_;  // host order
  std::set<uint32_t> kept_;       // host order
};

// The addresses one call's user holds: his pool address (allocated and released by the call)
// and the address of his own he keeps, which this holds in the pool until he keeps another or
// the call goes. Owned by the call's link; server thread only.
class CallAddresses {
 public:
  CallAddresses(AddressPool& pool, uint32_t pool_address)
      : pool_(pool), pool_address_(pool_address) {}
  ~CallAddresses() { Keep(0); }
  CallAddresses(const CallAddresses&) = delete;
  CallAddresses& operator=(const CallAddresses&) = delete;

  // The user was given `address`: his pool address, one of his own, or 0 for none.
  void Keep(uint32_t address);
  // Whether `address` is held by another live call: its pool address or its user's own.
  bool OfAnotherCall(uint32_t address) const;
  uint32_t kept() const { return kept_; }

 private:
  AddressPool& pool_;
  uint32_t pool_address_;
  uint32_t kept_ = 0;
};

}  // namespace velmora::l2tp
