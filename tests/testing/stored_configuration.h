#pragma once

#include <string>

#include "app/configuration.h"
#include "app/configuration_tables.h"
#include "app/settings.h"
#include "platform/file_system.h"
#include "support/log.h"
#include "testing/recording_prompt.h"

namespace velmora::testing {

// velmora.ini with all its sections on an in-memory file system, wired as the router wires it.
class StoredConfiguration {
 public:
  StoredConfiguration() { tables.Attach(configuration); }

  // Reads `text` as velmora.ini (none: the file as it is) and applies the settings.
  void Load(const std::string* text = nullptr) {
    if (text != nullptr) files.WriteFileAtomically(Configuration::kFileName, *text);
    configuration.Load(settings);
    tables.FinishLoad();
    configuration.ApplySettings(
        settings, {.local_addresses = {"10.1.2.3"}, .profiles = tables.ProfileGuarantees()});
  }
  void Load(const std::string& text) { Load(&text); }
  // Saves and returns the file.
  std::string Save() {
    configuration.Save(settings);
    return files.ReadFile(Configuration::kFileName).value_or("");
  }
  // The saved text from the first table section on.
  std::string SavedTables() {
    const std::string text = Save();
    return text.substr(text.find("\r\n[NETWORKS]"));
  }

  MemoryFileSystem files;
  Log log;
  RecordingPrompt prompt;
  NoRouteHooks hooks;
  Settings settings;
  Configuration configuration{files, log};
  ConfigurationTables tables{files,
                             log,
                             prompt,
                             hooks,
                             settings,
                             [] {
                               return std::vector<std::string>{"velmora.ini", "velmora.lock",
                                                               "velmora.log"}; }};
};

}  // namespace velmora::testing
