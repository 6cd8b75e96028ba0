#pragma once

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "ini/ini_section_writer.h"

namespace velmora {

class FileSystem;
class TableEditor;

// Writes [NETWORKS] and [NETV6WORKS] with their row sections at every save, after naming the
// subnets by position. The stand-alone row files named like the subnets were before are removed
// once the new velmora.ini is in place, never before. Used by the thread that saves.
class TableFileWriter final : public IniSectionWriter {
 public:
  TableFileWriter(TableEditor& editor, FileSystem& files,
                  std::function<std::vector<std::string>()> own_files);

  void WriteSection(std::string& out) override;
  void Saved() override;

 private:
  TableEditor& editor_;
  FileSystem& files_;
  std::function<std::vector<std::string>()> own_files_;
  std::set<std::string> row_files_to_remove_;  // until a save succeeds
};

}  // namespace velmora
