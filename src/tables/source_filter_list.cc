#include "tables/source_filter_list.h"

#include <algorithm>

#include "ini/ini_text.h"
#include "platform/address_text.h"

namespace velmora {

std::vector<std::string> SourceFilterList::Entries() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

bool SourceFilterList::Contains(uint32_t address) const {
  std::lock_guard lock(mutex_);
  for (const std::string& entry : entries_) {
    if (DottedToAddress(entry) == address) return true;
  }
  return false;
}

ListChange SourceFilterList::Add(const std::string& address, OperatorPrompt& prompt) {
  std::lock_guard lock(mutex_);
  if (entries_.size() >= kPageLimit) {
    return RefuseListChange(prompt, ListRefusal::kFull,
                            "You can add only 4 source filter IP address");
  }
  const uint32_t value = DottedToAddress(address);
  if (value == 0xffffffff)
    return RefuseListChange(prompt, ListRefusal::kInvalid, "Invalid IP address");
  entries_.push_back(AddressToDotted(value));
  return {};
}

ListChange SourceFilterList::Change(size_t index, const std::string& address,
                                    OperatorPrompt& prompt) {
  std::lock_guard lock(mutex_);
  if (index >= entries_.size())
    return RefuseListChange(prompt, ListRefusal::kNoSuchEntry, "No such source filter");
  const uint32_t value = DottedToAddress(address);
  if (value == 0xffffffff)
    return RefuseListChange(prompt, ListRefusal::kInvalid, "Invalid IP address");
  entries_[index] = AddressToDotted(value);
  return {};
}

ListChange SourceFilterList::Remove(size_t index, OperatorPrompt& prompt) {
  std::unique_lock lock(mutex_);
  if (index >= entries_.size())
    return RefuseListChange(prompt, ListRefusal::kNoSuchEntry, "No such source filter");
  const std::string address = entries_[index];
  lock.unlock();
  if (!Confirm(prompt, "Delete source filter request",
               "Really delete source filter IP(" + address + ")?")) {
    return {.ok = false, .message = {}};
  }
  lock.lock();
  const auto it = std::find(entries_.begin(), entries_.end(), address);
  if (it != entries_.end()) entries_.erase(it);
  return {};
}

void SourceFilterList::ReadLine(std::string_view line) {
  std::lock_guard lock(mutex_);
  entries_.push_back(AddressToDotted(DottedToAddress(std::string(line))));
}

void SourceFilterList::WriteRows(std::string& out) const {
  std::lock_guard lock(mutex_);
  for (const std::string& entry : entries_) AppendIniLine(out, entry);
}

}  // namespace velmora
