#pragma once

#include <string>
#include <string_view>

#include "ini/ini_file_reader.h"
#include "ini/ini_section_writer.h"
#include "ini/ini_text.h"

namespace velmora {

// Reads and writes the section of one list: a blank line, the header, then the list's rows.
// `List` has ReadLine(line) and WriteRows(out).
template <typename List>
class ListSection final : public IniSectionReader, public IniSectionWriter {
 public:
  ListSection(std::string name, List& list) : name_(std::move(name)), list_(list) {}

  const std::string& name() const { return name_; }
  void ReadLine(std::string_view line) override { list_.ReadLine(line); }
  void WriteSection(std::string& out) override {
    AppendIniLine(out, "");
    AppendIniLine(out, "[" + name_ + "]");
    list_.WriteRows(out);
  }

 private:
  std::string name_;
  List& list_;
};

}  // namespace velmora
