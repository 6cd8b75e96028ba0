#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "tables/table_prompts.h"

namespace velmora {

class Log;

// The peers the L2TP network server accepts ([L2TPPEERS]): IPv4 addresses in network byte order,
// in file order. Any thread may call.
class L2tpPeerList {
 public:
  explicit L2tpPeerList(Log& log) : log_(log) {}

  bool Contains(uint32_t address) const;
  std::vector<uint32_t> Entries() const;

  ListChange Add(const std::string& address, OperatorPrompt& prompt);
  ListChange Remove(uint32_t address, OperatorPrompt& prompt);

  void ReadLine(std::string_view line);
  void WriteRows(std::string& out) const;

 private:
  Log& log_;
  mutable std::mutex mutex_;
  std::vector<uint32_t> peers_;
};

}  // namespace velmora
