#include "tables/l2tp_user_list.h"

#include "ini/ini_text.h"
#include "support/log.h"
#include "tables/stored_text.h"

namespace velmora {

namespace {

constexpr const char* kNotStorable =
    "The user cannot be stored: a name without \"=\" that does not begin with \"[\" or \";\"";

}  // namespace

std::optional<std::string> L2tpUserList::Password(const std::string& name) const {
  std::lock_guard lock(mutex_);
  const auto it = users_.find(name);
  if (it == users_.end()) return std::nullopt;
  return it->second;
}

std::map<std::string, std::string> L2tpUserList::Entries() const {
  std::lock_guard lock(mutex_);
  return users_;
}

ListChange L2tpUserList::Add(const std::string& name, const std::string& password,
                             OperatorPrompt& prompt) {
  std::lock_guard lock(mutex_);
  if (users_.contains(name))
    return RefuseListChange(prompt, ListRefusal::kExists, "User already exists.");
  if (!IsStorableUser(name, password))
    return RefuseListChange(prompt, ListRefusal::kNotStorable, kNotStorable);
  users_.emplace(name, password);
  return {};
}

ListChange L2tpUserList::ChangePassword(const std::string& name, const std::string& password,
                                        OperatorPrompt& prompt) {
  std::lock_guard lock(mutex_);
  const auto it = users_.find(name);
  if (it == users_.end())
    return RefuseListChange(prompt, ListRefusal::kNoSuchEntry, "No such user");
  if (!IsStorableUser(name, password))
    return RefuseListChange(prompt, ListRefusal::kNotStorable, kNotStorable);
  it->second = password;
  return {};
}

ListChange L2tpUserList::Remove(const std::string& name, OperatorPrompt& prompt) {
  std::lock_guard lock(mutex_);
  if (users_.erase(name) == 0)
    return RefuseListChange(prompt, ListRefusal::kNoSuchEntry, "No such user");
  return {};
}

void L2tpUserList::ReadLine(std::string_view line) {
  const size_t equals = line.find('=');
  if (equals == std::string_view::npos) {
    log_ << "[L2TPUSERS] line without \"=\" skipped\n";
    return;
  }
  std::lock_guard lock(mutex_);
  const auto [it, added] =
      users_.emplace(std::string(line.substr(0, equals)), std::string(line.substr(equals + 1)));
  if (!added) log_ << "[L2TPUSERS] user " << it->first << " given twice; the first line counts\n";
}

void L2tpUserList::WriteRows(std::string& out) const {
  std::lock_guard lock(mutex_);
  for (const auto& [name, password] : users_) AppendIniLine(out, name + "=" + password);
}

}  // namespace velmora
