#include "platform/receive_merging.h"

#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>

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

// Turns the offload off when it is on and reports it: whether it was turned off.
bool TurnOff(const std::string& interface, const MergingOffload& offload,
             const ReceiveMergingGuard::Report& report) {
  if (!IsOn(interface, offload).value_or(false)) return false;
  const std::string subject = std::string(offload.name) + " on " + interface;
  if (const int error = Turn(interface, offload, false); error != 0) {
    report("Pylon. Cannot turn off " + subject + ": " + std::strerror(error) + ".\n");
    return false;
  }
  report("Pylon. " + subject + " turned off while it is tapped.\n");
  return true;
}

void TurnOnAgain(const std::string& interface, const MergingOffload& offload,
                 const ReceiveMergingGuard::Report& report) {
  const std::string subject = std::string(offload.name) + " on " + interface;
  if (const int error = Turn(interface, offload, true); error != 0) {
    report("Pylon. Cannot turn on " + subject + " again: " + std::strerror(error) + ".\n");
    return;
  }
  report("Pylon. " + subject + " turned on again.\n");
}

}  // namespace

ReceiveMergingGuard::ReceiveMergingGuard(std::string interface, Report report)
    : interface_(std::move(interface)), report_(std::move(report)) {
  gro_off_ = TurnOff(interface_, kGro, report_);
  lro_off_ = TurnOff(interface_, kLro, report_);
}

ReceiveMergingGuard::~ReceiveMergingGuard() {
  if (lro_off_) TurnOnAgain(interface_, kLro, report_);
  if (gro_off_) TurnOnAgain(interface_, kGro, report_);
}

}  // namespace velmora
