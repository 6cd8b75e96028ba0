#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora {

// Takes the lines of one kind of section of an INI file.
class IniSectionReader {
 public:
  virtual ~IniSectionReader() = default;
  // A header of this kind starts a section; `cleaned_header` is the header line's cleaned copy.
  virtual void BeginSection(std::string_view cleaned_header) { (void)cleaned_header; }
  // A line of the section as read, without its line end.
  virtual void ReadLine(std::string_view line) = 0;
};

// Reads an INI file's text and hands each line to the reader of its section. A header selects the
// first reader, in the order they were added, whose name the cleaned header contains; a header
// that names none leaves the section as it was. Blank lines, comments (";") and lines before the
// first header are passed over.
class IniFileReader {
 public:
  void AddSection(std::string name, IniSectionReader* reader);
  void Read(std::string_view text) const;

 private:
  std::vector<std::pair<std::string, IniSectionReader*>> sections_;
};

}  // namespace velmora
