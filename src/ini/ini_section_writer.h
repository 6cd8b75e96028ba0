#pragma once

#include <string>

namespace velmora {

// Writes one kind of section of an INI file at a save, with its own leading blank line.
class IniSectionWriter {
 public:
  virtual ~IniSectionWriter() = default;
  virtual void WriteSection(std::string& out) = 0;
  // The text written last is stored in its file now.
  virtual void Saved() {}
};

}  // namespace velmora
