#pragma once

#include <functional>
#include <optional>
#include <string>

namespace velmora {

class OperatorPrompt;
class TableSnapshot;

// What closing the settings sheet with OK may do to the router: write velmora.ini, tell whether
// the service runs, and restart it (stop, 500 ms, start).
struct SettingsApplyActions {
  std::function<bool()> save;
  std::function<bool()> service_running;
  std::function<bool()> restart;
};

// The sheet's last step once every opened page has stored its values: one write of velmora.ini,
// then, when the service runs and a page changed something, the question whether the new
// parameters take effect now. Called on the window thread.
void FinishSettingsApply(bool restart_needed, OperatorPrompt& prompt,
                         const SettingsApplyActions& actions);

// Why the profile `alias` cannot be removed (an IPv4 or IPv6 row still names it), or nothing.
std::optional<std::string> ProfileRemovalRefusal(const std::string& alias,
                                                 const TableSnapshot& tables);

}  // namespace velmora
