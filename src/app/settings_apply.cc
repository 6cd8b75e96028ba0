#include "app/settings_apply.h"

#include <algorithm>

#include "support/operator_prompt.h"
#include "tables/table_snapshot.h"

namespace velmora {
namespace {

constexpr const char* kTitle = "Warning";

bool ActivateNow(OperatorPrompt& prompt) {
  return prompt.Ask({.title = kTitle,
                     .text = "Activate new parameters now?",
                     .buttons = PromptButtons::kYesNo,
                     .icon = PromptIcon::kQuestion,
                     .default_answer = PromptAnswer::kNo}) == PromptAnswer::kYes;
}

template <typename Rows>
bool AnyRowNames(const Rows& rows, const std::string& alias) {
  return std::any_of(rows.begin(), rows.end(),
                     [&](const auto& row) { return row.profile_alias == alias; });
}

}  // namespace

void FinishSettingsApply(bool restart_needed, OperatorPrompt& prompt,
                         const SettingsApplyActions& actions) {
  actions.save();
  if (!restart_needed || !actions.service_running()) return;
  if (ActivateNow(prompt)) {
    actions.restart();
    return;
  }
  prompt.Ask({.title = kTitle,
              .text = "New parameters will take effect after restart Velmora",
              .icon = PromptIcon::kWarning});
}

std::optional<std::string> ProfileRemovalRefusal(const std::string& alias,
                                                 const TableSnapshot& tables) {
  if (!AnyRowNames(tables.ip_mac_rows(), alias) && !AnyRowNames(tables.ipv6_mac_rows(), alias)) {
    return std::nullopt;
  }
  return alias + " - IP(s) exist with this User Profile";
}

}  // namespace velmora
