#include "tables/l2tp_peer_list.h"

#include <algorithm>

#include "ini/ini_text.h"
#include "platform/address_text.h"
#include "support/log.h"

namespace velmora {

bool L2tpPeerList::Contains(uint32_t address) const {
  std::lock_guard lock(mutex_);
  return std::find(peers_.begin(), peers_.end(), address) != peers_.end();
}

std::vector<uint32_t> L2tpPeerList::Entries() const {
  std::lock_guard lock(mutex_);
  return peers_;
}

ListChange L2tpPeerList::Add(const std::string& address, OperatorPrompt& prompt) {
  const uint32_t value = DottedToAddress(address);
  if (value == 0xffffffff)
    return RefuseListChange(prompt, ListRefusal::kInvalid, "Invalid IP address");
  std::lock_guard lock(mutex_);
  if (std::find(peers_.begin(), peers_.end(), value) != peers_.end()) {
    return RefuseListChange(prompt, ListRefusal::kExists, "IP address already exists.");
  }
  peers_.push_back(value);
  return {};
}

ListChange L2tpPeerList::Remove(uint32_t address, OperatorPrompt& prompt) {
  std::lock_guard lock(mutex_);
  if (std::erase(peers_, address) == 0)
    return RefuseListChange(prompt, ListRefusal::kNoSuchEntry, "No such peer");
  return {};
}

void L2tpPeerList::ReadLine(std::string_view line) {
  const uint32_t value = DottedToAddress(std::string(line));
  if (value == 0xffffffff) {
    log_ << "[L2TPPEERS] line that is no address skipped: " << line << "\n";
    return;
  }
  std::lock_guard lock(mutex_);
  peers_.push_back(value);
}

void L2tpPeerList::WriteRows(std::string& out) const {
  std::lock_guard lock(mutex_);
  for (uint32_t peer : peers_) AppendIniLine(out, AddressToDotted(peer));
}

}  // namespace velmora
