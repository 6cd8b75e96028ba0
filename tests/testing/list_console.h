#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "support/log.h"

namespace velmora::testing {

// A console that keeps every entry, for tests that read what was logged.
class ListConsole : public ConsoleTarget {
 public:
  void AddEntry(std::string_view line) override { entries.emplace_back(line); }
  int EntryCount() override { return static_cast<int>(entries.size()); }
  void RemoveOldest() override { entries.erase(entries.begin()); }
  bool SelectLast() override { return true; }
  bool Has(std::string_view text) const {
    for (const std::string& entry : entries) {
      if (entry.find(text) != std::string::npos) return true;
    }
    return false;
  }
  std::vector<std::string> entries;
};

}  // namespace velmora::testing
