#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "support/log.h"

namespace velmora::testing {

// A console that keeps every entry, for tests that read what was logged. Has, Count and Clear
// may be called while other threads log; `entries` only when no thread logs.
class ListConsole : public ConsoleTarget {
 public:
  void AddEntry(std::string_view line) override {
    std::lock_guard lock(mutex_);
    entries.emplace_back(line);
  }
  int EntryCount() override { return Count(); }
  void RemoveOldest() override {
    std::lock_guard lock(mutex_);
    entries.erase(entries.begin());
  }
  bool SelectLast() override { return true; }
  bool Has(std::string_view text) const {
    std::lock_guard lock(mutex_);
    for (const std::string& entry : entries) {
      if (entry.find(text) != std::string::npos) return true;
    }
    return false;
  }
  int Count() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(entries.size());
  }
  // Entries that hold `text`.
  int Count(std::string_view text) const {
    std::lock_guard lock(mutex_);
    int count = 0;
    for (const std::string& entry : entries) count += entry.find(text) != std::string::npos;
    return count;
  }
  // A copy of the entries, safe while other threads log.
  std::vector<std::string> Lines() const {
    std::lock_guard lock(mutex_);
    return entries;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    entries.clear();
  }
  std::vector<std::string> entries;

 private:
  mutable std::mutex mutex_;
};

}  // namespace velmora::testing
