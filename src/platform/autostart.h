#pragma once

#include <string>

namespace velmora {

// Registers the router to run when the user's session starts: an XDG autostart entry named
// velmora.desktop. The command line and folder are those the process was started with.
struct AutostartEntry {
  std::string command_line;
  std::string working_folder;
};

// The autostart folder: $XDG_CONFIG_HOME/autostart, or ~/.config/autostart.
std::string AutostartFolder();

// Writes the entry when `on` is non-zero, removes it otherwise. Failures are ignored: the result
// only tells tests what happened.
bool SetAutoRun(int on, const AutostartEntry& entry, const std::string& folder = AutostartFolder());

// The entry's text, with the command line quoted for the Exec key.
std::string AutostartDesktopText(const AutostartEntry& entry);

}  // namespace velmora
