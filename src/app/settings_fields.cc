#include "app/settings_fields.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>

#include "app/general_section.h"
#include "ini/ini_text.h"

namespace velmora {
namespace {

template <typename T>
std::optional<T> WholeNumber(std::string_view text) {
  T value{};
  const char* end = text.data() + text.size();
  const auto [ptr, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || ptr != end) return std::nullopt;
  return value;
}

std::string Refusal(std::string_view label, std::string_view text, std::string_view rule) {
  return std::string(label) + " \"" + std::string(text) + "\" " + std::string(rule);
}

std::string GeneralText(const Settings& settings) {
  Settings copy = settings;
  copy.WinPosition = kDefaultWinPosition;
  copy.WinPositionQoS = kDefaultWinPositionQoS;
  std::string out;
  GeneralSection().Write(copy, out);
  return out;
}

}  // namespace

std::optional<int32_t> IntegerField(std::string_view text) {
  return WholeNumber<int32_t>(text);
}

std::optional<uint16_t> PortField(std::string_view text) {
  const std::optional<uint16_t> port = WholeNumber<uint16_t>(text);
  if (!port || *port == 0) return std::nullopt;
  return port;
}

std::optional<uint32_t> Ipv4Field(std::string_view text) {
  uint32_t host_order = 0;
  for (int part_index = 0; part_index < 4; ++part_index) {
    const size_t dot = text.find('.');
    const bool last = part_index == 3;
    if (last != (dot == std::string_view::npos)) return std::nullopt;
    const std::optional<uint8_t> part = WholeNumber<uint8_t>(text.substr(0, dot));
    if (!part) return std::nullopt;
    host_order = host_order << 8 | *part;
    text.remove_prefix(last ? text.size() : dot + 1);
  }
  return htonl(host_order);
}

int32_t CorrectedBufTime(int32_t milliseconds) {
  return std::clamp(milliseconds, 500, 10000);
}

std::string CorrectedMCastNic(const std::string& wanted, const std::vector<std::string>& local) {
  if (std::find(local.begin(), local.end(), wanted) != local.end()) return wanted;
  return local.empty() ? "127.0.0.1" : local.front();
}

GeneralFields GeneralFieldsOf(const Settings& s) {
  return {.transparent_port = std::to_string(s.TransparentPort),
          .inserter_port = std::to_string(s.InserterPort),
          .inserter_ip = AddressToDotted(s.InserterIP),
          .remote_control_port = std::to_string(s.RemoteControlPort),
          .l2tp_port = std::to_string(s.L2tpPort),
          .l2tp_pool_ip = AddressToDotted(s.L2tpPoolIP),
          .l2tp_pool = std::to_string(s.L2tpPool),
          .buf_time = std::to_string(s.BufTime),
          .max_payload_cut = std::to_string(s.MaxPayloadCut)};
}

std::optional<std::string> StoreGeneralFields(const GeneralFields& f, Settings& s) {
  constexpr std::string_view kPortRule = "is not a port from 1 to 65535.";
  constexpr std::string_view kAddressRule = "is not an IPv4 address.";
  constexpr std::string_view kNumberRule = "is not a whole number.";
  const auto transparent_port = PortField(f.transparent_port);
  if (!transparent_port) return Refusal("Transparent port", f.transparent_port, kPortRule);
  const auto inserter_port = PortField(f.inserter_port);
  if (!inserter_port) return Refusal("Data Inserter port", f.inserter_port, kPortRule);
  const auto inserter_ip = Ipv4Field(f.inserter_ip);
  if (!inserter_ip) return Refusal("Data Inserter IP address", f.inserter_ip, kAddressRule);
  const auto remote_port = PortField(f.remote_control_port);
  if (!remote_port) return Refusal("Command Port", f.remote_control_port, kPortRule);
  const auto l2tp_port = PortField(f.l2tp_port);
  if (!l2tp_port) return Refusal("L2TP port", f.l2tp_port, kPortRule);
  const auto pool_ip = Ipv4Field(f.l2tp_pool_ip);
  if (!pool_ip) return Refusal("IP pool starting address", f.l2tp_pool_ip, kAddressRule);
  const auto pool = IntegerField(f.l2tp_pool);
  if (!pool || *pool < 0) return Refusal("IP pool size", f.l2tp_pool, kNumberRule);
  const auto buf_time = IntegerField(f.buf_time);
  if (!buf_time) return Refusal("Buffering Time", f.buf_time, kNumberRule);
  const auto physical = IntegerField(f.max_payload_cut);
  if (!physical || *physical <= 0) {
    return Refusal("Max Physical Bandwidth", f.max_payload_cut, kNumberRule);
  }
  s.TransparentPort = *transparent_port;
  s.InserterPort = *inserter_port;
  s.InserterIP = *inserter_ip;
  s.RemoteControlPort = *remote_port;
  s.L2tpPort = *l2tp_port;
  s.L2tpPoolIP = *pool_ip;
  s.L2tpPool = *pool;
  s.BufTime = CorrectedBufTime(*buf_time);
  s.MaxPayloadCut = *physical;
  return std::nullopt;
}

bool SettingsChanged(const Settings& before, const Settings& after) {
  return GeneralText(before) != GeneralText(after);
}

}  // namespace velmora
