#include "packet/route_state_file.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <limits>
#include <optional>

#include "platform/address_text.h"
#include "support/words.h"

namespace velmora {
namespace {

// More than the kernel's few route metrics take, so that a damaged file cannot ask for a message
// larger than a netlink request.
constexpr size_t kMaxMetricsSize = 512;
constexpr std::string_view kHexDigits = "0123456789abcdef";

constexpr std::string_view kHeader =
    "# Default routes that Velmora replaced; its next start puts them back.\n";

std::optional<uint32_t> ReadAddress(std::string_view text) {
  in_addr address{};
  if (text.size() >= INET_ADDRSTRLEN) return std::nullopt;
  if (inet_pton(AF_INET, std::string(text).c_str(), &address) != 1) return std::nullopt;
  return address.s_addr;
}

template <typename Number>
std::optional<Number> ReadNumber(std::string_view text, uint32_t limit) {
  uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value > limit) {
    return std::nullopt;
  }
  return static_cast<Number>(value);
}

bool ReadDestination(std::string_view word, RouteRow& row) {
  const size_t slash = word.find('/');
  if (slash == std::string_view::npos) return false;
  const auto destination = ReadAddress(word.substr(0, slash));
  const auto length = ReadNumber<uint8_t>(word.substr(slash + 1), 32);
  if (!destination || !length) return false;
  row.destination = *destination;
  row.prefix_length = *length;
  return true;
}

std::optional<std::vector<uint8_t>> ReadHex(std::string_view text) {
  if (text.size() % 2 != 0 || text.size() / 2 > kMaxMetricsSize) return std::nullopt;
  std::vector<uint8_t> bytes(text.size() / 2);
  for (size_t i = 0; i < bytes.size(); ++i) {
    const char* pair = text.data() + 2 * i;
    const auto [end, error] = std::from_chars(pair, pair + 2, bytes[i], 16);
    if (error != std::errc() || end != pair + 2) return std::nullopt;
  }
  return bytes;
}

std::string FormatHex(const std::vector<uint8_t>& bytes) {
  std::string text;
  for (const uint8_t byte : bytes) {
    text += kHexDigits[byte >> 4];
    text += kHexDigits[byte & 0xf];
  }
  return text;
}

template <typename T>
bool Assign(std::optional<T> value, T& field) {
  if (!value) return false;
  field = *value;
  return true;
}

// "GATEWAY,FLAGS,WEIGHT,NAME"; the name comes last, since it may itself hold commas.
bool ReadNextHop(std::string_view value, SavedRoute& route) {
  std::string_view parts[3];
  for (std::string_view& part : parts) {
    const size_t comma = value.find(',');
    if (comma == std::string_view::npos) return false;
    part = value.substr(0, comma);
    value.remove_prefix(comma + 1);
  }
  const auto gateway = ReadAddress(parts[0]);
  const auto flags = ReadNumber<uint8_t>(parts[1], std::numeric_limits<uint8_t>::max());
  const auto weight = ReadNumber<uint16_t>(parts[2], 256);
  if (!gateway || !flags || !weight || *weight == 0 || value.empty()) return false;
  route.row.next_hops.push_back({.gateway = *gateway, .flags = *flags, .weight = *weight});
  route.next_hop_interfaces.emplace_back(value);
  return true;
}

std::string FormatNextHop(const NextHop& hop, const std::string& interface_name) {
  return " nexthop " + AddressToDotted(hop.gateway) + "," + std::to_string(hop.flags) + "," +
         std::to_string(hop.weight) + "," + interface_name;
}

bool ReadField(std::string_view key, std::string_view value, SavedRoute& route) {
  constexpr uint32_t kByte = std::numeric_limits<uint8_t>::max();
  constexpr uint32_t kWord = std::numeric_limits<uint32_t>::max();
  RouteRow& row = route.row;
  if (key == "dev") {
    route.interface_name = value;
    return !value.empty();
  }
  if (key == "nexthop") return ReadNextHop(value, route);
  if (key == "gateway") return Assign(ReadAddress(value), row.gateway);
  if (key == "source") return Assign(ReadAddress(value), row.preferred_source);
  if (key == "metric") return Assign(ReadNumber<uint32_t>(value, kWord), row.metric);
  if (key == "table") return Assign(ReadNumber<uint32_t>(value, kWord), row.table);
  if (key == "protocol") return Assign(ReadNumber<uint8_t>(value, kByte), row.protocol);
  if (key == "scope") return Assign(ReadNumber<uint8_t>(value, kByte), row.scope);
  if (key == "type") return Assign(ReadNumber<uint8_t>(value, kByte), row.type);
  if (key == "flags") return Assign(ReadNumber<uint8_t>(value, kByte), row.flags);
  if (key == "tos") return Assign(ReadNumber<uint8_t>(value, kByte), row.tos);
  if (key == "metrics") return Assign(ReadHex(value), row.metrics);
  return false;
}

std::optional<SavedRoute> ReadLine(std::string_view line) {
  const std::vector<std::string_view> words = SplitWords(line);
  SavedRoute route;
  if (words.empty() || words.size() % 2 == 0 || !ReadDestination(words[0], route.row)) {
    return std::nullopt;
  }
  for (size_t i = 1; i < words.size(); i += 2) {
    if (!ReadField(words[i], words[i + 1], route)) return std::nullopt;
  }
  return route;
}

bool IsBlankOrComment(std::string_view line) {
  const size_t start = line.find_first_not_of(" \t");
  return start == std::string_view::npos || line[start] == '#';
}

}  // namespace

std::string FormatRouteState(const std::vector<SavedRoute>& routes) {
  std::string text(kHeader);
  for (const SavedRoute& route : routes) {
    const RouteRow& row = route.row;
    text += AddressToDotted(row.destination) + "/" + std::to_string(row.prefix_length);
    if (!route.interface_name.empty()) text += " dev " + route.interface_name;
    if (row.gateway != 0) text += " gateway " + AddressToDotted(row.gateway);
    text += " metric " + std::to_string(row.metric);
    text += " protocol " + std::to_string(row.protocol);
    text += " scope " + std::to_string(row.scope);
    text += " type " + std::to_string(row.type);
    text += " table " + std::to_string(row.table);
    if (row.flags != 0) text += " flags " + std::to_string(row.flags);
    if (row.preferred_source != 0) text += " source " + AddressToDotted(row.preferred_source);
    if (row.tos != 0) text += " tos " + std::to_string(row.tos);
    if (!row.metrics.empty()) text += " metrics " + FormatHex(row.metrics);
    for (size_t i = 0; i < row.next_hops.size(); ++i) {
      text += FormatNextHop(row.next_hops[i], route.next_hop_interfaces[i]);
    }
    text += "\n";
  }
  return text;
}

RouteState ParseRouteState(std::string_view text) {
  RouteState state;
  size_t number = 0;
  while (!text.empty()) {
    const size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (line.ends_with('\r')) line.remove_suffix(1);
    ++number;
    if (IsBlankOrComment(line)) continue;
    if (std::optional<SavedRoute> route = ReadLine(line)) {
      state.routes.push_back(std::move(*route));
    } else {
      state.rejected.push_back({number, std::string(line)});
    }
  }
  return state;
}

}  // namespace velmora
