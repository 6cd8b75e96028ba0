#include "app/bandwidth_service.h"

#include <string>

#include "app/settings.h"
#include "bandwidth/bwc_controller.h"
#include "bandwidth/bwc_error.h"
#include "support/log.h"
#include "tables/network_tables.h"
#include "tables/user_profile_list.h"

namespace velmora {

using TessaroBWControl::BWCController;
using TessaroBWControl::BWCError;

BandwidthService::BandwidthService(const Parts& parts, std::function<void()> shaping_stopped)
    : parts_(parts), shaping_stopped_(std::move(shaping_stopped)) {}

void LoadProfilesAndAddresses(BWCController& controller, const std::vector<UserProfile>& profiles,
                              const TableSnapshot& tables, const std::string& default_profile) {
  for (const UserProfile& profile : profiles) {
    controller.AddProfile(profile.Alias, profile.summary, profile.maximum, profile.guarantee);
  }
  // Rows without a profile of their own (as the remote control adds them) take the default.
  const auto profile_of = [&](const std::string& alias) {
    return alias.empty() ? default_profile : alias;
  };
  for (const IpMacEntry& row : tables.ip_mac_rows()) {
    controller.AddAddress(row.address, profile_of(row.profile_alias));
  }
  for (const Ipv6MacEntry& row : tables.ipv6_mac_rows()) {
    controller.AddAddress(row.address, profile_of(row.profile_alias));
  }
}

bool BandwidthService::Start() {
  try {
    Load();
  } catch (const BWCError& error) {
    Fail(error);
    return false;
  }
  return true;
}

void BandwidthService::Load() {
  // A reload: what the sources queue while the controller is cleared needs a thread to send it.
  if (running_ && shaping_stopped_) shaping_stopped_();
  running_ = false;
  BWCController& controller = parts_.controller;
  controller.Clear();
  controller.SetPhysicalBandwidth(static_cast<uint32_t>(parts_.settings.MaxPayloadCut.get()));
  controller.SetDestination(parts_.settings.InserterIP, parts_.settings.InserterPort);
  controller.SetBufferTime(static_cast<uint32_t>(parts_.settings.BufTime.get()));
  LoadProfilesAndAddresses(controller, parts_.profiles.Entries(), *parts_.tables.Snapshot(),
                           parts_.settings.DefaultUP.get());
  controller.Enable(true);
  running_ = true;
  parts_.log << "Bandwidth management is started\n";
}

void BandwidthService::Fail(const BWCError& error) {
  parts_.log << error.what() << "\n";
  Stop();
  if (shaping_stopped_) shaping_stopped_();
}

void BandwidthService::Stop() {
  running_ = false;
  parts_.controller.Clear();
  parts_.log << "Bandwidth management disable\n";
}

void BandwidthService::Follow(bool service_running) {
  if (!service_running) return;
  if (parts_.settings.EnableBandwidth) {
    Start();
  } else if (running_) {
    Stop();
    if (shaping_stopped_) shaping_stopped_();
  }
}

void BandwidthService::ApplyPhysicalBandwidth(int64_t value, bool service_running) {
  if (value < BWCController::kMinPhysical) {
    value = BWCController::kMinPhysical;
    parts_.log << "Physical Bandwidth value is less MINIMUM value. Set to "
               << static_cast<int32_t>(value) << "\n";
  } else if (value > BWCController::kMaxPhysical) {
    value = BWCController::kMaxPhysical;
    parts_.log << "Physical Bandwidth value is more, than MAXIMUM value. Set to "
               << static_cast<int32_t>(value) << "\n";
  }
  parts_.settings.MaxPayloadCut = static_cast<int32_t>(value);
  if (!running_) {
    if (parts_.settings.EnableBandwidth && service_running) Start();
    return;
  }
  try {
    parts_.controller.SetPhysicalBandwidth(static_cast<uint32_t>(value));
  } catch (const BWCError& error) {
    Fail(error);
  }
}

}  // namespace velmora
