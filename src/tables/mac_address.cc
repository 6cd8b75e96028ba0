#include "tables/mac_address.h"

#include <algorithm>
#include <cstdio>

namespace velmora {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<MacAddress> ParseMac(std::string_view text) {
  MacAddress mac{};
  size_t part = 0;
  size_t digits = 0;
  for (char c : text) {
    if (c == ':' || c == '-') {
      if (digits == 0 || ++part == mac.size()) return std::nullopt;
      digits = 0;
      continue;
    }
    const int digit = HexDigit(c);
    if (digit < 0) return std::nullopt;
    mac[part] = static_cast<uint8_t>(mac[part] << 4 | digit);
    ++digits;
  }
  if (digits == 0 || part + 1 != mac.size()) return std::nullopt;
  return mac;
}

std::optional<MacAddress> ParseFullMac(std::string_view text) {
  constexpr size_t kLength = 17, kSeparators = 5;
  if (text.size() != kLength) return std::nullopt;
  const auto colons = std::count(text.begin(), text.end(), ':');
  const auto dashes = std::count(text.begin(), text.end(), '-');
  if (!(colons == kSeparators && dashes == 0) && !(dashes == kSeparators && colons == 0)) {
    return std::nullopt;
  }
  return ParseMac(text);
}

std::string MacText(const MacAddress& mac) {
  char text[18];
  std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", mac[0], mac[1], mac[2], mac[3],
                mac[4], mac[5]);
  return text;
}

MacAddress NextMac(MacAddress mac) {
  for (size_t i = mac.size(); i-- > 0;) {
    if (++mac[i] != 0) break;
  }
  return mac;
}

}  // namespace velmora
