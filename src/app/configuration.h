#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/general_section.h"
#include "ini/ini_file_reader.h"
#include "ini/ini_section_writer.h"

namespace velmora {

class FileSystem;
class Log;

// velmora.ini as a whole: reads it into the [GENERAL] raw lists and the readers that the table
// and list sections plug in, and writes it back with its comment header. Used by the control
// thread only.
class Configuration {
 public:
  static constexpr const char* kFileName = "velmora.ini";

  Configuration(FileSystem& files, Log& log, std::string path = kFileName);

  // Section readers in the order their names are matched against a header, after [GENERAL].
  void AddSectionReader(std::string name, IniSectionReader* reader);
  // Section writers in the order they are written, after [GENERAL].
  void AddSectionWriter(IniSectionWriter* writer);

  // Reads the file (a missing one reads as empty), adds the defaults and takes the window
  // placements into `settings`. The other keys wait in the raw lists for ApplySettings.
  void Load(Settings& settings);
  void ApplySettings(Settings& settings, const ApplyContext& context);
  // The whole file's text as a save writes it; the table writers rename the subnets as they go.
  std::string Text(const Settings& settings);
  // Replaces the file; a failure is logged and leaves the old file whole.
  bool Save(const Settings& settings);

  const GeneralSection& general() const { return general_; }

 private:
  FileSystem& files_;
  Log& log_;
  std::string path_;
  GeneralSection general_;
  IniFileReader reader_;
  std::vector<IniSectionWriter*> writers_;
};

// The comment header every save begins with.
std::string_view ConfigurationHeader();

}  // namespace velmora
