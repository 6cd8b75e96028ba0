#include "ini/ini_text.h"

#include <limits>

namespace velmora {

std::vector<std::string_view> SplitTextLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string_view> SplitIniLines(std::string_view text) {
  std::vector<std::string_view> pieces;
  for (std::string_view line : SplitTextLines(text)) {
    do {
      pieces.push_back(line.substr(0, kIniMaxLineLength));
      line.remove_prefix(std::min(line.size(), kIniMaxLineLength));
    } while (!line.empty());
  }
  return pieces;
}

std::string CleanIniLine(std::string_view line) {
  std::string clean;
  clean.reserve(line.size());
  for (char c : line) {
    if (c != ' ' && c != '"' && c != '\t' && c != '\r' && c != '\n') clean.push_back(c);
  }
  return clean;
}

namespace {

// A number in `base` at the front of `text`, after blanks and an optional sign; `text` is left
// at the first character after it. The magnitude saturates at `limit`.
int64_t TakeNumber(std::string_view& text, int base, int64_t limit) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' ||
                             text[i] == '\r' || text[i] == '\v' || text[i] == '\f')) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  if (base == 0) {
    base = 10;
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
      base = 16;
      i += 2;
    } else if (i < text.size() && text[i] == '0') {
      base = 8;
    }
  }
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    int digit = base;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit >= base) break;
    value = std::min(value * base + digit, limit);
  }
  text.remove_prefix(i);
  return negative ? -value : value;
}

}  // namespace

int32_t DecimalValue(std::string_view text) {
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  const int64_t value = TakeNumber(text, 10, kLimit);
  return static_cast<int32_t>(std::min<int64_t>(value, std::numeric_limits<int32_t>::max()));
}

uint32_t UnsignedDecimalValue(std::string_view text) {
  return static_cast<uint32_t>(TakeNumber(text, 10, int64_t{1} << 40));
}

int64_t FieldNumberValue(std::string_view text) {
  int64_t value = TakeNumber(text, 0, int64_t{1} << 40);
  if (!text.empty() && (text.front() == 'B' || text.front() == 'b')) value /= 1024;
  if (!text.empty() && (text.front() == 'M' || text.front() == 'm')) value *= 1024;
  return value;
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
