#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "packet/service_source.h"
#include "platform/tracked_process.h"

namespace velmora {

class Clock;
class FileSystem;
class Log;
class NetworkTables;
class stdini;
struct Settings;

// The bouncer program, its configuration file and the record of the instance the router started,
// all in the router's folder; none may ever be a table's row file.
inline constexpr const char* kBouncerProgramFile = "bouncer";
inline constexpr const char* kBouncerIniFile = "bouncer.ini";
inline constexpr const char* kBouncerStateFile = "bouncer.state";

// Configures the bouncer program and (re)starts it: points every active link of bouncer.ini whose
// destination is a host of the tables at the inserter, with the host's PID and MAC, then replaces
// the instance the router started (in this run or, recorded in the state file, in an earlier one)
// by a new one. Instances the router did not start are left alone; a service stop leaves the
// bouncer running. Owned by the router; only the control thread calls it, as a source of the
// service start and for the settings.
class BouncerControl final : public ServiceSource {
 public:
  // The instance is asked to end, then killed after this long.
  static constexpr std::chrono::milliseconds kEndGrace{2000};
  // The new instance starts no sooner than this after the old one was asked to end.
  static constexpr std::chrono::milliseconds kRestartGap{500};

  struct Parts {
    const Settings& settings;
    const NetworkTables& tables;
    FileSystem& files;
    Log& log;
    Clock& clock;
    std::string folder;            // where velmora.ini is: the working folder
    std::string program_fallback;  // the bouncer beside the router's executable
  };

  explicit BouncerControl(Parts parts);

  void ConfigureAndStartBouncer();

  std::string_view name() const override { return "Bouncer"; }
  bool Enabled() const override;
  void Launch() override { ConfigureAndStartBouncer(); }
  // At the service stop: an instance that has already exited is reaped and its record removed; a
  // running one runs on.
  void Close() override;

 private:
  std::string InFolder(const char* file) const;
  void ConfigureLinks(stdini& ini) const;
  void ConfigureLink(stdini& ini, int32_t number) const;
  void EndInstance();
  std::optional<TrackedProcess> RecordedInstance();
  void StartInstance();
  std::string Program() const;

  Parts parts_;
  std::optional<TrackedProcess> instance_;
};

}  // namespace velmora
