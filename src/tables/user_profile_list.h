#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tables/table_prompts.h"

namespace velmora {

class Log;

// One bandwidth profile as stored; all figures in bit/s.
struct UserProfile {
  std::string Alias;
  uint32_t summary = 0;
  uint32_t maximum = 0;
  uint32_t guarantee = 0;  // the minimum single-queue bandwidth
  bool operator==(const UserProfile&) const = default;
};

// The bandwidth profiles ([USERPROFILES]), ordered by alias byte by byte. The first line for an
// alias wins. Any thread may call.
class UserProfileList {
 public:
  explicit UserProfileList(Log& log) : log_(log) {}

  std::optional<UserProfile> Find(const std::string& alias) const;
  std::vector<UserProfile> Entries() const;

  ListChange Add(const UserProfile& profile, OperatorPrompt& prompt);
  // Replaces the figures of the profile with the same alias.
  ListChange Change(const UserProfile& profile, OperatorPrompt& prompt);
  // Asks ConfirmRemove first; No leaves the list as it is.
  ListChange Remove(const std::string& alias, OperatorPrompt& prompt);
  // The question before a profile is removed; true for Yes.
  static bool ConfirmRemove(OperatorPrompt& prompt);

  void ReadLine(std::string_view line);
  void WriteRows(std::string& out) const;

 private:
  // The profile with `alias`, or where it would go.
  std::vector<UserProfile>::iterator Place(const std::string& alias);

  Log& log_;
  mutable std::mutex mutex_;
  std::vector<UserProfile> profiles_;
};

}  // namespace velmora
