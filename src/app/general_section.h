#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/settings.h"
#include "ini/ini_file_reader.h"

namespace velmora {

class Log;

// What a user profile contributes to the choice of the default profile.
struct ProfileGuarantee {
  std::string alias;
  int64_t guarantee = 0;  // bit/s
};

// What converting the settings needs of the rest of the machine.
struct ApplyContext {
  std::vector<std::string> local_addresses;  // for MCastNIC
  std::vector<ProfileGuarantee> profiles;    // for DefaultUP, in alias order
};

// The [GENERAL] section: the raw key and value lists as read, their conversion into Settings,
// and the section's text at a save. Keys the router does not know stay in the raw lists and are
// written back unchanged. Used by the control thread only.
class GeneralSection final : public IniSectionReader {
 public:
  using RawList = std::vector<std::pair<std::string, std::string>>;

  void ReadLine(std::string_view line) override;
  // After the last line: defaults for the keys that are missing, and the window placements taken
  // out of the raw lists into `settings`.
  void CompleteRead(Settings& settings);
  // Converts the known keys into `settings`, correcting what must be corrected, and removes them
  // from the raw lists. Prepares the log file once the log keys are known.
  void ApplySettings(Settings& settings, const ApplyContext& context, Log& log);
  // The section's lines, CR LF ended.
  void Write(const Settings& settings, std::string& out) const;

  const RawList& raw() const { return raw_; }

 private:
  template <typename Convert>
  void Take(std::string_view key, Convert convert);

  RawList raw_;
};

// The 29 keys that get a default when the file lacks them, with their default texts.
const std::vector<std::pair<std::string_view, std::string_view>>& GeneralDefaults();

// Reads "flags,show,x,y,..." as ten decimal numbers.
WindowPlacement ParsePlacement(std::string_view text);
std::string PlacementText(const WindowPlacement& placement);

}  // namespace velmora
