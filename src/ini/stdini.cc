#include "ini/stdini.h"

#include "ini/ini_text.h"

namespace velmora {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view TrimLine(std::string_view line) {
  while (!line.empty() && IsBlank(line.front())) line.remove_prefix(1);
  while (!line.empty() && (IsBlank(line.back()) || line.back() == '\r' || line.back() == '\n')) {
    line.remove_suffix(1);
  }
  return line;
}

bool IsHeader(std::string_view line) {
  return line.size() >= 2 && line.front() == '[' && line.back() == ']';
}

}  // namespace

bool stdini::Load(const std::string& file_name) {
  sections_.clear();
  const auto text = files_.ReadFile(file_name);
  if (!text) return false;
  Parse(*text);
  return true;
}

bool stdini::Save(const std::string& file_name) const {
  return files_.WriteFileAtomically(file_name, Text());
}

void stdini::Parse(std::string_view text) {
  sections_.clear();
  Section* current = &sections_[""];
  for (std::string_view line : SplitTextLines(text)) ReadLine(TrimLine(line), current);
}

void stdini::ReadLine(std::string_view line, Section*& current) {
  if (line.empty() || line.front() == ';' || line.front() == '#') return;
  if (IsHeader(line)) {
    current = &sections_[std::string(line.substr(1, line.size() - 2))];
    return;
  }
  const size_t equals = line.find('=');
  if (equals == std::string_view::npos) return;
  std::string_view key = line.substr(0, equals);
  std::string_view value = line.substr(equals + 1);
  while (!key.empty() && IsBlank(key.back())) key.remove_suffix(1);
  while (!value.empty() && IsBlank(value.front())) value.remove_prefix(1);
  (*current)[std::string(key)] = std::string(value);
}

std::string stdini::Text() const {
  std::string out;
  AppendIniLine(out, "#INI File writen by class stdini: comments are not kept");
  AppendIniLine(out, "");
  for (const auto& [name, section] : sections_) {
    AppendIniLine(out, "");
    if (!name.empty()) AppendIniLine(out, "[" + name + "]");
    for (const auto& [key, value] : section) AppendIniLine(out, key + " = " + value);
  }
  return out;
}

std::string stdini::GetValue(const std::string& section, const std::string& key) const {
  const auto found_section = sections_.find(section);
  if (found_section == sections_.end()) return {};
  const auto found_key = found_section->second.find(key);
  return found_key == found_section->second.end() ? std::string() : found_key->second;
}

bool stdini::HasKey(const std::string& section, const std::string& key) const {
  const auto found_section = sections_.find(section);
  return found_section != sections_.end() && found_section->second.contains(key);
}

std::vector<int32_t> stdini::GetIntList(const std::string& section, const std::string& key) const {
  const std::string value = GetValue(section, key);
  std::vector<int32_t> numbers;
  std::string_view rest = value;
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    numbers.push_back(DecimalValue(rest.substr(0, comma)));
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return numbers;
}

bool stdini::SetInt(const std::string& section, const std::string& key, int32_t value) {
  return SetString(section, key, std::to_string(value));
}

bool stdini::SetString(const std::string& section, const std::string& key, std::string_view value) {
  const auto found_section = sections_.find(section);
  if (found_section == sections_.end()) return false;
  const auto found_key = found_section->second.find(key);
  if (found_key == found_section->second.end()) return false;
  found_key->second = std::string(value);
  return true;
}

}  // namespace velmora
