#include "ini/ini_text.h"

#include <limits>

namespace velmora {

std::vector<std::string_view> SplitIniLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    do {
      lines.push_back(line.substr(0, kIniMaxLineLength));
      line.remove_prefix(std::min(line.size(), kIniMaxLineLength));
    } while (!line.empty());
  }
  return lines;
}

std::string CleanIniLine(std::string_view line) {
  std::string clean;
  clean.reserve(line.size());
  for (char c : line) {
    if (c != ' ' && c != '"' && c != '\t' && c != '\r' && c != '\n') clean.push_back(c);
  }
  return clean;
}

int32_t DecimalValue(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' ||
                             text[i] == '\r' || text[i] == '\v' || text[i] == '\f')) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  int64_t value = 0;
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = std::min(value * 10 + (text[i] - '0'), kLimit);
  }
  if (negative) return static_cast<int32_t>(-value);
  return static_cast<int32_t>(std::min<int64_t>(value, std::numeric_limits<int32_t>::max()));
}

std::string SettingText(std::string_view value) {
  value = value.substr(0, value.find(';'));
  const auto blank = [](char c) {
    return c == ' ' || c == '\t' || c == '"' || c == '\r' || c == '\n';
  };
  while (!value.empty() && blank(value.front())) value.remove_prefix(1);
  while (!value.empty() && blank(value.back())) value.remove_suffix(1);
  return std::string(value);
}

void AppendIniLine(std::string& out, std::string_view line) {
  out.append(line);
  out.append("\r\n");
}

}  // namespace velmora
