#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"

namespace velmora {

// A small general INI file held in memory as sections of key/value pairs, used for the
// configuration file of the bouncer program. Sections and keys are ordered byte by byte
// (case-sensitive); the pairs before the first header belong to the section with the empty name,
// which every load creates. Comments are not kept. Values of existing keys can be changed, keys
// are never added. Not thread-safe: the one thread that owns an object calls it.
class stdini {
 public:
  using Section = std::map<std::string, std::string>;
  using Sections = std::map<std::string, Section>;

  explicit stdini(FileSystem& files) : files_(files) {}

  // Reads `file_name`; the previous contents are discarded first, also when it cannot be read.
  bool Load(const std::string& file_name);
  // Replaces `file_name` through a temporary file and a rename that keeps the file's mode.
  bool Save(const std::string& file_name) const;

  // Discards the contents and reads `text` as a file's text.
  void Parse(std::string_view text);
  // The text that Save writes.
  std::string Text() const;

  // Empty when the section or the key does not exist.
  std::string GetValue(const std::string& section, const std::string& key) const;
  // Whether the section holds the key, with any value.
  bool HasKey(const std::string& section, const std::string& key) const;
  // The decimal numbers of a comma-separated value; empty for an empty or missing value.
  std::vector<int32_t> GetIntList(const std::string& section, const std::string& key) const;
  // False, changing nothing, when the section or the key does not exist.
  bool SetInt(const std::string& section, const std::string& key, int32_t value);
  bool SetString(const std::string& section, const std::string& key, std::string_view value);

  const Sections& sections() const { return sections_; }

 private:
  void ReadLine(std::string_view line, Section*& current);

  FileSystem& files_;
  Sections sections_;
};

}  // namespace velmora
