#pragma once

#include <string>
#include <vector>

namespace velmora {

// Registers the router to run when the user's session starts: an XDG autostart entry named
// velmora.desktop. Written by the start-up code on the control thread.
struct AutostartEntry {
  std::vector<std::string> command;  // the program's absolute path, then its arguments
  std::string working_folder;
};

// The running program's absolute path (the target of /proc/self/exe); empty when unreadable.
std::string ExecutablePath();

// The autostart folder: $XDG_CONFIG_HOME/autostart, or ~/.config/autostart.
std::string AutostartFolder();

// Writes the entry when `on` is non-zero, removes it otherwise. Failures are ignored: the result
// only tells tests what happened.
bool SetAutoRun(int on, const AutostartEntry& entry, const std::string& folder = AutostartFolder());

// The entry's text. The Exec key quotes each argument that needs it and escapes it as the Desktop
// Entry Specification requires, so that a launcher runs exactly `command`.
std::string AutostartDesktopText(const AutostartEntry& entry);

}  // namespace velmora
