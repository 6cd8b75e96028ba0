#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora {

// Which clients may open a remote-control session: the addresses and subnets of the
// RemoteControlAllow setting. Built by the control thread when the listener opens, then only
// read by the listener thread.
class ClientFilter {
 public:
  // Entries "a.b.c.d" or "a.b.c.d/n", separated by commas, blanks around them ignored. An empty
  // text allows every client; a text whose entries are all malformed allows none. Malformed
  // entries are collected in `rejected` when given.
  explicit ClientFilter(std::string_view text = {}, std::vector<std::string>* rejected = nullptr);

  // `address` in network byte order.
  bool Allows(uint32_t address) const;

 private:
  bool restricted_ = false;
  std::vector<std::pair<uint32_t, uint32_t>> networks_;  // address and mask, host order
};

}  // namespace velmora
