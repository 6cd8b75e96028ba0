#include "app/bouncer_control.h"

#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "app/settings.h"
#include "ini/stdini.h"
#include "platform/address_text.h"
#include "platform/file_system.h"
#include "support/clock.h"
#include "support/log.h"
#include "tables/network_tables.h"

namespace velmora {

namespace {

// The keys the router writes into a link's section, in the order it writes them.
constexpr std::array<const char*, 6> kWrittenKeys = {"AddQoSHeaders",   "DestinationMACAddress",
                                                     "StreamPid",       "send_protocol",
                                                     "send_unicast_ip", "send_port"};

// The state file's one line: process id, start time, executable.
std::string StateText(const ProcessIdentity& identity) {
  return std::to_string(identity.pid) + " " + std::to_string(identity.start_time) + " " +
         identity.executable + "\n";
}

std::optional<ProcessIdentity> ParseState(const std::string& text) {
  std::istringstream in(text);
  ProcessIdentity identity;
  if (!(in >> identity.pid >> identity.start_time) || in.get() != ' ') return std::nullopt;
  std::getline(in, identity.executable);
  if (identity.pid <= 0 || identity.executable.empty()) return std::nullopt;
  return identity;
}

}  // namespace

BouncerControl::BouncerControl(Parts parts) : parts_(std::move(parts)) {}

bool BouncerControl::Enabled() const {
  return parts_.settings.BouncerEnable != 0;
}

std::string BouncerControl::InFolder(const char* file) const {
  return parts_.folder.empty() ? file : parts_.folder + "/" + file;
}

void BouncerControl::ConfigureAndStartBouncer() {
  stdini ini(parts_.files);
  const std::string path = InFolder(kBouncerIniFile);
  if (ini.Load(path)) {
    ConfigureLinks(ini);
    if (!ini.Save(path)) parts_.log << "Bouncer ini write error\n";
  } else {
    parts_.log << "Bouncer ini read error\n";
  }
  EndInstance();
  StartInstance();
}

void BouncerControl::ConfigureLinks(stdini& ini) const {
  for (const int32_t number : ini.GetIntList("main", "links")) ConfigureLink(ini, number);
}

void BouncerControl::ConfigureLink(stdini& ini, int32_t number) const {
  const std::string section = std::to_string(number);
  if (ini.GetValue(section, "active") != "true") return;
  const uint32_t destination = DottedToAddress(ini.GetValue(section, "DestinationIP"));
  if (destination == 0xffffffff) return;
  const auto tables = parts_.tables.Snapshot();
  const IpMacEntry* row = tables->FindIpMacRow(destination);
  if (row == nullptr) return;
  const SubnetEntry* subnet = tables->FindSubnetForAddress(destination);
  if (subnet == nullptr) return;
  bool complete = true;
  for (const char* key : kWrittenKeys) {
    if (ini.HasKey(section, key)) continue;
    // Writing the other keys alone could send a half-configured stream to its old destination.
    parts_.log << "Bouncer link " << number << ": no key " << key << ", link left unchanged\n";
    complete = false;
  }
  if (!complete) return;
  ini.SetInt(section, "AddQoSHeaders", 1);
  ini.SetString(section, "DestinationMACAddress", row->mac_text);
  ini.SetInt(section, "StreamPid", subnet->IPSubNetPID);
  ini.SetString(section, "send_protocol", "UDP");
  ini.SetString(section, "send_unicast_ip", AddressToDotted(parts_.settings.InserterIP));
  ini.SetInt(section, "send_port", parts_.settings.InserterPort);
}

void BouncerControl::Close() {
  if (!instance_ || !instance_->ReapIfExited()) return;
  instance_.reset();
  parts_.files.RemoveFile(InFolder(kBouncerStateFile));
}

void BouncerControl::EndInstance() {
  if (!instance_) instance_ = RecordedInstance();
  if (!instance_) return;
  const pid_t pid = instance_->identity().pid;
  const auto asked = instance_->End(kEndGrace);
  instance_.reset();
  parts_.files.RemoveFile(InFolder(kBouncerStateFile));
  if (parts_.log.level() >= 3) parts_.log << "Bouncer process " << pid << " ended\n";
  const auto waited = std::chrono::steady_clock::now() - asked;
  if (waited < kRestartGap) parts_.clock.SleepFor(kRestartGap - waited);
}

std::optional<TrackedProcess> BouncerControl::RecordedInstance() {
  const std::string path = InFolder(kBouncerStateFile);
  const auto text = parts_.files.ReadFile(path);
  if (!text) return std::nullopt;
  const auto recorded = ParseState(*text);
  auto instance = recorded ? TrackedProcess::Adopt(*recorded) : std::nullopt;
  if (!instance) {
    // Its process has ended, or the id now belongs to another program: nothing to replace.
    parts_.files.RemoveFile(path);
  }
  return instance;
}

std::string BouncerControl::Program() const {
  const std::string own = InFolder(kBouncerProgramFile);
  const bool runnable = std::filesystem::is_regular_file(own) && access(own.c_str(), X_OK) == 0;
  if (runnable || parts_.program_fallback.empty()) return own;
  return parts_.program_fallback;
}

void BouncerControl::StartInstance() {
  const std::string program = Program();
  int error = 0;
  auto started = TrackedProcess::Spawn(program, {"--config", InFolder(kBouncerIniFile)}, error);
  if (!started) {
    parts_.log << "Can't start Bouncer\n";
    if (parts_.log.level() >= 2) {
      parts_.log << "Bouncer program " << program << ": " << std::strerror(error) << "\n";
    }
    return;
  }
  instance_ = std::move(started);
  if (!parts_.files.WriteFileAtomically(InFolder(kBouncerStateFile),
                                        StateText(instance_->identity()))) {
    parts_.log << "Bouncer state file " << kBouncerStateFile << " cannot be written\n";
  }
  if (parts_.log.level() >= 3) parts_.log << "Bouncer started\n";
  parts_.log << "Bouncer program " << program << " runs as process "
             << static_cast<int32_t>(instance_->identity().pid) << "\n";
}

}  // namespace velmora
