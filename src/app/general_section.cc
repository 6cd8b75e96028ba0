#include "app/general_section.h"

#include <algorithm>

#include "app/settings_fields.h"
#include "ini/ini_text.h"
#include "support/log.h"

namespace velmora {
namespace {

constexpr int64_t kMaxPhysicalBandwidth = 15000000;

std::string CorrectedDefaultProfile(const std::string& wanted,
                                    const std::vector<ProfileGuarantee>& profiles) {
  for (const ProfileGuarantee& profile : profiles) {
    if (profile.alias == wanted) return wanted;
  }
  std::string chosen;
  for (const ProfileGuarantee& profile : profiles) {
    if (profile.guarantee < kMaxPhysicalBandwidth) chosen = profile.alias;
  }
  return chosen;
}

LogConfig LogConfigOf(const Settings& s) {
  return {.log_on = s.LogOn,
          .file_name = s.LogFileName.get(),
          .file_size_kb = s.LogFileSize,
          .level = s.LogLevel};
}

void AppendKey(std::string& out, std::string_view key, std::string_view value) {
  std::string line(key);
  line += '=';
  line += value;
  AppendIniLine(out, line);
}

std::string Quoted(const std::string& text) {
  return "\"" + text + "\"";
}

}  // namespace

const std::vector<std::pair<std::string_view, std::string_view>>& GeneralDefaults() {
  static const std::vector<std::pair<std::string_view, std::string_view>> defaults = {
      {"LogFileName", "velmora.log"},
      {"LogFileSize", "100"},
      {"LogOn", "0"},
      {"LogLevel", "1"},
      {"LoadOnStartup", "0"},
      {"StartListening", "1"},
      {"TrafficControl", "0"},
      {"RemoteControlOn", "1"},
      {"RemoteControlPort", "6101"},
      {"CorvidEnable", "0"},
      {"PylonEnable", "1"},
      {"TransparentEnable", "1"},
      {"BouncerEnable", "1"},
      {"L2tpEnable", "1"},
      {"CorvidDefaultRoute", "0"},
      {"BufTime", "3000"},
      {"InserterIP", "127.0.0.1"},
      {"InserterPort", "8000"},
      {"MCastNIC", ""},
      {"EnableBandwidth", "1"},
      {"TransparentPort", "6100"},
      {"StatisticEnable", "1"},
      {"StatisticFile", "stat<date>.log"},
      {"TypeChannel", "DVB"},
      {"DefaultUP", ""},
      {"L2tpPort", "1701"},
      {"L2tpPoolIP", "192.168.100.0"},
      {"L2tpPool", "100"},
      {"Ipv6Adapter", "0"},
  };
  return defaults;
}

WindowPlacement ParsePlacement(std::string_view text) {
  int32_t v[10] = {};
  for (int i = 0; i < 10; ++i) {
    const size_t comma = text.find(',');
    v[i] = DecimalValue(text.substr(0, comma));
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return {static_cast<uint32_t>(v[0]),
          static_cast<uint32_t>(v[1]),
          v[2],
          v[3],
          v[4],
          v[5],
          v[6],
          v[7],
          v[8],
          v[9]};
}

std::string PlacementText(const WindowPlacement& p) {
  std::string text = std::to_string(p.flags) + "," + std::to_string(p.show);
  for (int32_t v : {p.min_x, p.min_y, p.max_x, p.max_y, p.left, p.top, p.right, p.bottom}) {
    text += "," + std::to_string(v);
  }
  return text;
}

void GeneralSection::ReadLine(std::string_view line) {
  const size_t equals = line.find('=');
  if (equals == std::string_view::npos) return;
  raw_.emplace_back(std::string(line.substr(0, equals)), std::string(line.substr(equals + 1)));
}

void GeneralSection::CompleteRead(Settings& settings) {
  const auto has = [this](std::string_view key) {
    return std::any_of(raw_.begin(), raw_.end(), [&](const auto& kv) { return kv.first == key; });
  };
  for (const auto& [key, value] : GeneralDefaults()) {
    if (!has(key)) raw_.emplace_back(std::string(key), std::string(value));
  }
  if (!has("WinPosition")) raw_.emplace_back("WinPosition", PlacementText(kDefaultWinPosition));
  Take("WinPosition", [&](std::string_view v) { settings.WinPosition = ParsePlacement(v); });
  Take("WinPositionQoS", [&](std::string_view v) { settings.WinPositionQoS = ParsePlacement(v); });
}

template <typename Convert>
void GeneralSection::Take(std::string_view key, Convert convert) {
  const auto it =
      std::find_if(raw_.begin(), raw_.end(), [&](const auto& kv) { return kv.first == key; });
  if (it == raw_.end()) return;
  const std::string value = std::move(it->second);
  raw_.erase(it);
  convert(std::string_view(value));
}

void GeneralSection::ApplySettings(Settings& s, const ApplyContext& context, Log& log) {
  const auto integer = [this](std::string_view key, SharedNumber<int32_t>& field) {
    Take(key, [&](std::string_view v) { field = DecimalValue(v); });
  };
  const auto port = [this](std::string_view key, SharedNumber<uint16_t>& field) {
    Take(key, [&](std::string_view v) { field = static_cast<uint16_t>(DecimalValue(v)); });
  };
  const auto text = [this](std::string_view key, SharedText& field) {
    Take(key, [&](std::string_view v) { field = SettingText(v); });
  };
  const auto address = [this](std::string_view key, SharedNumber<uint32_t>& field) {
    Take(key, [&](std::string_view v) { field = DottedToAddress(SettingText(v)); });
  };
  integer("L2tpPort", s.L2tpPort);
  address("L2tpPoolIP", s.L2tpPoolIP);
  integer("L2tpPool", s.L2tpPool);
  integer("Ipv6Adapter", s.Ipv6Adapter);
  text("LogFileName", s.LogFileName);
  integer("LogFileSize", s.LogFileSize);
  integer("LogOn", s.LogOn);
  log.Configure(LogConfigOf(s));
  log.MaintainFile();
  integer("LogLevel", s.LogLevel);
  log.Configure(LogConfigOf(s));
  integer("LoadOnStartup", s.LoadOnStartup);
  integer("StartListening", s.StartListening);
  Take("CorvidName", [](std::string_view) {});
  integer("TrafficControl", s.TrafficControl);
  integer("RemoteControlOn", s.RemoteControlOn);
  port("RemoteControlPort", s.RemoteControlPort);
  integer("CorvidEnable", s.CorvidEnable);
  integer("PylonEnable", s.PylonEnable);
  integer("TransparentEnable", s.TransparentEnable);
  integer("BouncerEnable", s.BouncerEnable);
  integer("L2tpEnable", s.L2tpEnable);
  integer("CorvidDefaultRoute", s.CorvidDefaultRoute);
  text("TypeChannel", s.TypeChannel);
  address("InserterIP", s.InserterIP);
  port("InserterPort", s.InserterPort);
  text("MCastNIC", s.MCastNIC);
  s.MCastNIC = CorrectedMCastNic(s.MCastNIC, context.local_addresses);
  text("DefaultUP", s.DefaultUP);
  s.DefaultUP = CorrectedDefaultProfile(s.DefaultUP, context.profiles);
  Take("EnableBandwidth", [&](std::string_view v) { s.EnableBandwidth = DecimalValue(v) != 0; });
  port("TransparentPort", s.TransparentPort);
  integer("StatisticEnable", s.StatisticEnable);
  text("StatisticFile", s.StatisticFile);
  integer("BufTime", s.BufTime);
  s.BufTime = CorrectedBufTime(s.BufTime);
  integer("MaxPayloadCut", s.MaxPayloadCut);
  text("RemoteControlBind", s.RemoteControlBind);
  text("RemoteControlAllow", s.RemoteControlAllow);
  port("MetricsPort", s.MetricsPort);

  if (log.level() >= 1) log << "Corvid name is \"" << kCorvidName << "\"\n";
  if (log.level() >= 3) {
    log << "MaxPayload " << s.MaxPayloadCut.get() << " bit/s\n";
    log << "Maximus traffic is "
        << std::string_view(std::to_string(TrafficLimitBytes(s.MaxPayloadCut))) << " bytes per "
        << 2000 << " msec\n";
  }
}

void GeneralSection::Write(const Settings& s, std::string& out) const {
  const auto integer = [&](std::string_view key, int64_t v) {
    AppendKey(out, key, std::to_string(v));
  };
  AppendIniLine(out, "[GENERAL]");
  AppendKey(out, "WinPosition", PlacementText(s.WinPosition));
  AppendKey(out, "WinPositionQoS", PlacementText(s.WinPositionQoS));
  AppendKey(out, "LogFileName", Quoted(s.LogFileName));
  integer("LogFileSize", s.LogFileSize);
  integer("LogOn", s.LogOn);
  integer("LogLevel", s.LogLevel);
  integer("LoadOnStartup", s.LoadOnStartup);
  integer("StartListening", s.StartListening);
  integer("TrafficControl", s.TrafficControl);
  integer("RemoteControlOn", s.RemoteControlOn);
  integer("RemoteControlPort", s.RemoteControlPort);
  integer("CorvidEnable", s.CorvidEnable);
  integer("PylonEnable", s.PylonEnable);
  integer("TransparentEnable", s.TransparentEnable);
  integer("BouncerEnable", s.BouncerEnable);
  integer("L2tpEnable", s.L2tpEnable);
  integer("CorvidDefaultRoute", s.CorvidDefaultRoute);
  integer("BufTime", s.BufTime);
  AppendKey(out, "InserterIP", AddressToDotted(s.InserterIP));
  integer("InserterPort", s.InserterPort);
  integer("EnableBandwidth", s.EnableBandwidth ? 1 : 0);
  integer("TransparentPort", s.TransparentPort);
  integer("StatisticEnable", s.StatisticEnable);
  AppendKey(out, "StatisticFile", Quoted(s.StatisticFile));
  AppendKey(out, "TypeChannel", s.TypeChannel.get());
  integer("MaxPayloadCut", s.MaxPayloadCut);
  AppendKey(out, "DefaultUP", s.DefaultUP.get());
  AppendKey(out, "MCastNIC", s.MCastNIC.get());
  integer("L2tpPort", s.L2tpPort);
  AppendKey(out, "L2tpPoolIP", AddressToDotted(s.L2tpPoolIP));
  integer("L2tpPool", s.L2tpPool);
  integer("Ipv6Adapter", s.Ipv6Adapter);
  const auto optional = [&](std::string_view key, const SharedText& field) {
    const std::string value = field.get();
    if (!value.empty()) AppendKey(out, key, value);
  };
  optional("RemoteControlBind", s.RemoteControlBind);
  optional("RemoteControlAllow", s.RemoteControlAllow);
  if (s.MetricsPort != 0) integer("MetricsPort", s.MetricsPort);
  for (const auto& [key, value] : raw_) AppendKey(out, key, value);
}

}  // namespace velmora
