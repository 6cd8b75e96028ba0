#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "tables/table_prompts.h"

namespace velmora {

class Log;

// The source addresses the Pylon tap accepts ([PYLONSRCFILTER]), as dotted texts in file order.
// The settings page keeps it to four; the file may hold more. Any thread may call.
class SourceFilterList {
 public:
  static constexpr size_t kPageLimit = 4;

  std::vector<std::string> Entries() const;
  bool Contains(uint32_t address) const;

  ListChange Add(const std::string& address, OperatorPrompt& prompt);
  ListChange Change(size_t index, const std::string& address, OperatorPrompt& prompt);
  ListChange Remove(size_t index, OperatorPrompt& prompt);

  // A line of the section; one that is no address is kept as 255.255.255.255.
  void ReadLine(std::string_view line);
  void WriteRows(std::string& out) const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> entries_;
};

}  // namespace velmora
