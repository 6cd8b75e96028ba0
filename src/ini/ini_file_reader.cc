#include "ini/ini_file_reader.h"

#include "ini/ini_text.h"

namespace velmora {

void IniFileReader::AddSection(std::string name, IniSectionReader* reader) {
  sections_.emplace_back(std::move(name), reader);
}

void IniFileReader::Read(std::string_view text) const {
  IniSectionReader* current = nullptr;
  for (std::string_view line : SplitIniLines(text)) {
    const std::string clean = CleanIniLine(line);
    if (clean.empty() || clean.front() == ';') continue;
    if (clean.front() != '[') {
      if (current != nullptr) current->ReadLine(line);
      continue;
    }
    for (const auto& [name, reader] : sections_) {
      if (clean.find(name) == std::string::npos) continue;
      current = reader;
      current->BeginSection(clean);
      break;
    }
  }
}

}  // namespace velmora
