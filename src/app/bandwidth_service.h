#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace velmora {

class Log;
class NetworkTables;
class TableSnapshot;
class UserProfileList;
struct Settings;
struct UserProfile;
namespace TessaroBWControl {
class BWCController;
class BWCError;
}  // namespace TessaroBWControl

// Adds the profiles and then every IPv4 and IPv6 row to `controller`, a row without a profile under
// `default_profile`; the controller's admission rules raise BWCError on the first refusal.
void LoadProfilesAndAddresses(TessaroBWControl::BWCController& controller,
                              const std::vector<UserProfile>& profiles, const TableSnapshot& tables,
                              const std::string& default_profile);

// Runs bandwidth management from the settings: loads the physical bandwidth, the destination,
// the profiles and every IP/MAC and IPv6/MAC row into the controller, and keeps the flag that turns
// the sources' output towards it. A failure logs the controller's message and leaves the service
// running without shaping; `shaping_stopped` then lets the ordinary sending thread take over.
// Owned and called by the control thread; the flag is read by every source thread.
class BandwidthService {
 public:
  struct Parts {
    Settings& settings;
    const NetworkTables& tables;
    const UserProfileList& profiles;
    TessaroBWControl::BWCController& controller;
    Log& log;
  };

  BandwidthService(const Parts& parts, std::function<void()> shaping_stopped);

  // True when shaping runs afterwards.
  bool Start();
  // Disables the sender and clears the controller.
  void Stop();
  // Follows `EnableBandwidth` while the service runs: reloads shaping when it is on, and when it
  // was switched off stops shaping and hands the output queue to the ordinary sending thread.
  void Follow(bool service_running);
  // A new physical bandwidth from the settings page: clamped to the controller's range, stored
  // in `MaxPayloadCut`, then applied to running shaping or used to start it.
  void ApplyPhysicalBandwidth(int64_t value, bool service_running);

  const std::atomic<bool>& running() const { return running_; }

 private:
  void Load();
  void Fail(const TessaroBWControl::BWCError& error);

  Parts parts_;
  std::function<void()> shaping_stopped_;
  std::atomic<bool> running_{false};
};

}  // namespace velmora
