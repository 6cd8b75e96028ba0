#include "tables/user_profile_list.h"

#include <algorithm>

#include "ini/ini_text.h"
#include "support/log.h"
#include "tables/stored_text.h"

namespace velmora {

std::vector<UserProfile>::iterator UserProfileList::Place(const std::string& alias) {
  return std::lower_bound(
      profiles_.begin(), profiles_.end(), alias,
      [](const UserProfile& profile, const std::string& key) { return profile.Alias < key; });
}

std::optional<UserProfile> UserProfileList::Find(const std::string& alias) const {
  std::lock_guard lock(mutex_);
  for (const UserProfile& profile : profiles_) {
    if (profile.Alias == alias) return profile;
  }
  return std::nullopt;
}

std::vector<UserProfile> UserProfileList::Entries() const {
  std::lock_guard lock(mutex_);
  return profiles_;
}

ListChange UserProfileList::Add(const UserProfile& profile, OperatorPrompt& prompt) {
  std::lock_guard lock(mutex_);
  const auto at = Place(profile.Alias);
  if (at != profiles_.end() && at->Alias == profile.Alias) {
    return RefuseListChange(prompt, ListRefusal::kExists, "Alias already exists.");
  }
  if (!IsStorableProfileAlias(profile.Alias)) {
    return RefuseListChange(prompt, ListRefusal::kNotStorable,
                            "The alias cannot be stored: 1 to 128 characters, none of = ; [ and "
                            "double quotes, no blank at either end");
  }
  profiles_.insert(at, profile);
  return {};
}

ListChange UserProfileList::Change(const UserProfile& profile, OperatorPrompt& prompt) {
  std::lock_guard lock(mutex_);
  const auto at = Place(profile.Alias);
  if (at == profiles_.end() || at->Alias != profile.Alias) {
    return RefuseListChange(prompt, ListRefusal::kNoSuchEntry, "No such user profile");
  }
  *at = profile;
  return {};
}

bool UserProfileList::ConfirmRemove(OperatorPrompt& prompt) {
  return Confirm(prompt, "Delete User Profile entry",
                 "User Profile will be deleted.\nAre you sure?");
}

ListChange UserProfileList::Remove(const std::string& alias, OperatorPrompt& prompt) {
  if (!ConfirmRemove(prompt)) return {.ok = false, .message = {}};
  std::lock_guard lock(mutex_);
  const auto at = Place(alias);
  if (at == profiles_.end() || at->Alias != alias) {
    return RefuseListChange(prompt, ListRefusal::kNoSuchEntry, "No such user profile");
  }
  profiles_.erase(at);
  return {};
}

void UserProfileList::ReadLine(std::string_view line) {
  const size_t equals = line.find('=');
  const size_t first = line.find(',', equals);
  const size_t second = first == std::string_view::npos ? first : line.find(',', first + 1);
  if (equals == std::string_view::npos || second == std::string_view::npos) {
    log_ << "[USERPROFILES] line skipped: " << line << "\n";
    return;
  }
  UserProfile profile{.Alias = std::string(line.substr(0, equals)),
                      .summary = UnsignedDecimalValue(line.substr(equals + 1)),
                      .maximum = UnsignedDecimalValue(line.substr(first + 1)),
                      .guarantee = UnsignedDecimalValue(line.substr(second + 1))};
  std::lock_guard lock(mutex_);
  const auto at = Place(profile.Alias);
  if (at != profiles_.end() && at->Alias == profile.Alias) {
    log_ << "[USERPROFILES] profile " << profile.Alias << " given twice; the first line counts\n";
    return;
  }
  profiles_.insert(at, std::move(profile));
}

void UserProfileList::WriteRows(std::string& out) const {
  std::lock_guard lock(mutex_);
  for (const UserProfile& p : profiles_) {
    AppendIniLine(out, p.Alias + "=" + std::to_string(p.summary) + "," + std::to_string(p.maximum) +
                           "," + std::to_string(p.guarantee));
  }
}

}  // namespace velmora
