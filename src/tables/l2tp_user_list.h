#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "tables/table_prompts.h"

namespace velmora {

class Log;

// The users the L2TP network server accepts ([L2TPUSERS]): name and password, ordered by name
// byte by byte. The first line for a name wins. Any thread may call.
class L2tpUserList {
 public:
  explicit L2tpUserList(Log& log) : log_(log) {}

  std::optional<std::string> Password(const std::string& name) const;
  std::map<std::string, std::string> Entries() const;

  ListChange Add(const std::string& name, const std::string& password, OperatorPrompt& prompt);
  ListChange ChangePassword(const std::string& name, const std::string& password,
                            OperatorPrompt& prompt);
  ListChange Remove(const std::string& name, OperatorPrompt& prompt);

  void ReadLine(std::string_view line);
  void WriteRows(std::string& out) const;

 private:
  Log& log_;
  mutable std::mutex mutex_;
  std::map<std::string, std::string> users_;
};

}  // namespace velmora
