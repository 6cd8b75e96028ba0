#include "app/configuration.h"

#include "ini/ini_text.h"
#include "platform/file_system.h"
#include "support/log.h"

namespace velmora {

std::string_view ConfigurationHeader() {
  static const std::string header = [] {
    static const char* const kLines[] = {
        "; INI for Velmora application",
        "",
        "; Meaning of the adjustments:",
        "; Section [GENERAL]",
        ";   WinPosition: last position of the window (don't change this parameter)",
        ";   WinPositionQoS: last position of the QoS window (don't change this parameter)",
        ";   LogFileName: File's name where debug window's contents have output if LogOn=1",
        ";   LogFileSize: File's max size where debug window's contents have output if LogOn=1",
        ";   LogOn: if non-zero then debug window's contents have output to file <LogFileName>",
        ";   LogLevel: 1..3 - level of debug messages in the miniconsole",
        ";   LoadOnStartup: auto run application after power on (0 (off), 1 (on))",
        ";   StartListening: always equal to 1",
        ";   TrafficControl: Drops all traffic if summary loading more than 50 Mbits/s",
        ";   RemoteControlOn: Enables remote control on Velmora by TCP/IP session",
        ";   RemoteControlPort: TCP/IP port where Velmora waits for remote control connections",
        ";   CorvidEnable: if non-zero then Corvid driver source enabled",
        ";   PylonEnable: if non-zero then Pylon driver source enabled",
        ";   TransparentEnable: if non-zero then Transparent Port source enabled",
        ";   BouncerEnable: if non-zero then Bouncer source enabled",
        ";   L2tpEnable: if non-zero then L2tp source enabled",
        ";   InserterIP: IP address of Inserter hope",
        ";   InserterPort: port of Inserter hope",
        ";   EnableBandwidth: enable bandwidth control",
        ";   TransparentPort: port of Transparent source",
        ";   StatisticEnable: if non-zero then statistic file will be created",
        ";   StatisticFile: statistic file name",
        ";   TypeChannel: DVB/DAB",
        ";   MaxPayloadCut: payload, when trafic cut (bit/s), default 50000",
        ";   BufTime: time of buffering of packets (msec), default 3000",
        ";   DefaultUP: alias of default user profile",
        ";   MCastNIC: NIC for multicast joining",
        ";   L2tpPort: L2TP port",
        ";   L2tpPoolIP: IP pool starting address",
        ";   L2tpPool: IP pool",
        ";   ",
        ";   [PYLONSRCFILTER] section: ",
        ";      List of Pylon source filter IP addresses.",
        ";   ",
        ";   [L2TPUSERS] section: ",
        ";      List of L2TP source users.",
        ";   ",
        ";   [USERPROFILES] section: ",
        ";      List of User Profiles.",
        ";   ",
        ";   [NETWORKS] section: ",
        ";      Describes parameters for adding QoS headers to ethernet frames.",
        ";      Velmora itself maintains IpSubNetMAC parameter. You should not change it",
        "",
    };
    std::string text;
    for (const char* line : kLines) AppendIniLine(text, line);
    return text;
  }();
  return header;
}

Configuration::Configuration(FileSystem& files, Log& log, std::string path)
    : files_(files), log_(log), path_(std::move(path)) {
  reader_.AddSection("GENERAL", &general_);
}

void Configuration::AddSectionReader(std::string name, IniSectionReader* reader) {
  reader_.AddSection(std::move(name), reader);
}

void Configuration::AddSectionWriter(IniSectionWriter* writer) {
  writers_.push_back(writer);
}

void Configuration::Load(Settings& settings) {
  general_ = GeneralSection();
  if (const auto text = files_.ReadFile(path_)) reader_.Read(*text);
  general_.CompleteRead(settings);
}

void Configuration::ApplySettings(Settings& settings, const ApplyContext& context) {
  general_.ApplySettings(settings, context, log_);
}

std::string Configuration::Text(const Settings& settings) {
  std::string text(ConfigurationHeader());
  general_.Write(settings, text);
  for (IniSectionWriter* writer : writers_) writer->WriteSection(text);
  return text;
}

bool Configuration::Save(const Settings& settings) {
  if (files_.WriteFileAtomically(path_, Text(settings))) {
    for (IniSectionWriter* writer : writers_) writer->Saved();
    return true;
  }
  log_ << "Cannot save the settings to " << path_ << "\n";
  return false;
}

}  // namespace velmora
