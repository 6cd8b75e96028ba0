#include "platform/receive_merging.h"

#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <sstream>
#include <utility>

#include "platform/file_system.h"

namespace velmora {
namespace {

// A merging offload: the ethtool commands that read and write the word that holds it, and its
// bit in that word.
struct MergingOffload {
  std::string_view name;
  uint32_t get;
  uint32_t set;
  uint32_t bit;
};

constexpr MergingOffload kGro{"GRO", ETHTOOL_GGRO, ETHTOOL_SGRO, 1};
constexpr MergingOffload kLro{"LRO", ETHTOOL_GFLAGS, ETHTOOL_SFLAGS, ETH_FLAG_LRO};

const MergingOffload* OffloadNamed(std::string_view name) {
  for (const MergingOffload* offload : {&kGro, &kLro}) {
    if (offload->name == name) return offload;
  }
  return nullptr;
}

std::string RecordLine(const std::string& interface, std::string_view offload) {
  return interface + " " + std::string(offload);
}

std::vector<std::string> ReadLines(FileSystem& files, const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream text(files.ReadFile(path).value_or(""));
  for (std::string line; std::getline(text, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

// Whether the file now holds the lines (none: it is removed).
bool WriteLines(FileSystem& files, const std::string& path, const std::vector<std::string>& lines) {
  if (lines.empty()) return files.RemoveFile(path) || !files.ReadFile(path);
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return files.WriteFileAtomically(path, text);
}

// Runs one ethtool value command on `interface`: 0 with `value` exchanged, or the errno.
int Ethtool(const std::string& interface, uint32_t command, uint32_t& value) {
  const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return errno;
  ethtool_value exchanged{.cmd = command, .data = value};
  ifreq request{};
  std::strncpy(request.ifr_name, interface.c_str(), IFNAMSIZ - 1);
  request.ifr_data = reinterpret_cast<char*>(&exchanged);
  const int result = ::ioctl(probe, SIOCETHTOOL, &request) == 0 ? 0 : errno;
  ::close(probe);
  value = exchanged.data;
  return result;
}

// Whether the offload is on; none when the interface cannot tell.
std::optional<bool> IsOn(const std::string& interface, const MergingOffload& offload) {
  uint32_t word = 0;
  if (Ethtool(interface, offload.get, word) != 0) return std::nullopt;
  return (word & offload.bit) != 0;
}

// Turns the offload on or off: 0, or the errno of the refusal.
int Turn(const std::string& interface, const MergingOffload& offload, bool on) {
  uint32_t word = 0;
  if (const int error = Ethtool(interface, offload.get, word); error != 0) return error;
  word = on ? word | offload.bit : word & ~offload.bit;
  return Ethtool(interface, offload.set, word);
}

// Turns the offload off and reports it: whether it was turned off.
bool TurnOff(const std::string& interface, const MergingOffload& offload,
             const MergingReport& report) {
  const std::string subject = std::string(offload.name) + " on " + interface;
  if (const int error = Turn(interface, offload, false); error != 0) {
    report("Pylon. Cannot turn off " + subject + ": " + std::strerror(error) + ".\n");
    return false;
  }
  report("Pylon. " + subject + " turned off while it is tapped.\n");
  return true;
}

// Turns the offload on and reports it, `why` ending the line: whether it is on.
bool TurnOnAgain(const std::string& interface, const MergingOffload& offload,
                 const MergingReport& report, std::string_view why = "") {
  const std::string subject = std::string(offload.name) + " on " + interface;
  if (const int error = Turn(interface, offload, true); error != 0) {
    report("Pylon. Cannot turn on " + subject + " again: " + std::strerror(error) + ".\n");
    return false;
  }
  report("Pylon. " + subject + " turned on again" + std::string(why) + ".\n");
  return true;
}

}  // namespace

MergingRecord::MergingRecord(FileSystem& files, std::string path, MergingReport report)
    : files_(files),
      path_(std::move(path)),
      report_(std::move(report)),
      lines_(ReadLines(files_, path_)) {}

void MergingRecord::Add(const std::string& interface, std::string_view offload) {
  const std::string line = RecordLine(interface, offload);
  if (std::find(lines_.begin(), lines_.end(), line) != lines_.end()) return;
  lines_.push_back(line);
  Write();
}

void MergingRecord::Remove(const std::string& interface, std::string_view offload) {
  std::erase(lines_, RecordLine(interface, offload));
  Write();
}

void MergingRecord::Write() {
  if (WriteLines(files_, path_, lines_) || write_failure_reported_) return;
  report_("Pylon. Cannot write " + path_ +
          ": offloads turned off now are not turned on again after a kill.\n");
  write_failure_reported_ = true;
}

void RestoreRecordedMerging(FileSystem& files, const std::string& path,
                            const MergingReport& report) {
  std::vector<std::string> kept;
  for (const std::string& line : ReadLines(files, path)) {
    const size_t space = line.rfind(' ');
    const MergingOffload* offload = space == std::string::npos
                                        ? nullptr
                                        : OffloadNamed(std::string_view(line).substr(space + 1));
    if (offload == nullptr || space == 0) {
      report("Pylon. " + path + ": line skipped: " + line + "\n");
      continue;
    }
    const std::string interface = line.substr(0, space);
    const std::optional<bool> on = IsOn(interface, *offload);
    if (!on) {
      // A device made anew has its offloads at their defaults.
      report("Pylon. " + std::string(offload->name) + " on " + interface +
             " left as it is: the interface is not there.\n");
    } else if (!*on &&
               !TurnOnAgain(interface, *offload, report, ", left off by a run that did not stop")) {
      kept.push_back(line);
    }
  }
  WriteLines(files, path, kept);
}

ReceiveMergingGuard::ReceiveMergingGuard(std::string interface, Report report,
                                         MergingRecord* record)
    : interface_(std::move(interface)), report_(std::move(report)), record_(record) {
  for (auto [offload, off] : {std::pair{&kGro, &gro_off_}, std::pair{&kLro, &lro_off_}}) {
    if (!IsOn(interface_, *offload).value_or(false)) continue;
    // Recorded first: a kill in between leaves a line for an offload that is on, which is harmless.
    if (record_ != nullptr) record_->Add(interface_, offload->name);
    *off = TurnOff(interface_, *offload, report_);
    if (!*off && record_ != nullptr) record_->Remove(interface_, offload->name);
  }
}

ReceiveMergingGuard::~ReceiveMergingGuard() {
  for (auto [offload, off] : {std::pair{&kLro, lro_off_}, std::pair{&kGro, gro_off_}}) {
    if (off && TurnOnAgain(interface_, *offload, report_) && record_ != nullptr) {
      record_->Remove(interface_, offload->name);
    }
  }
}

}  // namespace velmora
