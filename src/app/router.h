#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/bandwidth_service.h"
#include "app/bouncer_control.h"
#include "app/configuration.h"
#include "app/configuration_tables.h"
#include "app/control_loop.h"
#include "app/metrics_endpoint.h"
#include "app/remote_control.h"
#include "app/service_controller.h"
#include "app/service_notifier.h"
#include "app/settings.h"
#include "app/status_refresher.h"
#include "bandwidth/bwc_controller.h"
#include "l2tp/cl2tp.h"
#include "packet/corvid_routes.h"
#include "packet/corvid_source.h"
#include "packet/l2tp_link.h"
#include "packet/multicast_groups.h"
#include "packet/output_queue.h"
#include "packet/packet_output.h"
#include "packet/packet_path.h"
#include "packet/pylon_source.h"
#include "packet/sending_thread.h"
#include "packet/transparent_port.h"
#include "stats/status_counters.h"
#include "stats/traffic_statistics.h"

namespace velmora {

class FileSystem;
class OperatorPrompt;
class ServiceManager;

struct RouterOptions {
  std::vector<std::string> command_line;      // as started, for the autostart entry
  std::string working_folder;                 // where velmora.ini and the log files live
  std::string lock_file = "velmora.lock";     // held by the caller of Run for the process's life
  ServiceManager* service_manager = nullptr;  // told of readiness and health; none: not a service
  bool started_as_unit = false;  // the service manager, not the autostart entry, starts the router
};

// The router process: start-up, the control thread's commands and the orderly exit. Run executes
// on the thread that becomes the control thread; the command methods may be called from any
// thread and wait until the control thread has handled them.
class Router {
 public:
  static constexpr auto kRestartPause = std::chrono::milliseconds(500);

  Router(FileSystem& files, Clock& clock, Log& log, OperatorPrompt& prompt, RouterOptions options);

  // The start-up sequence after the single-instance test, then the control loop until the exit.
  // Returns the process's result.
  int Run();
  // The start-up sequence alone, for an event loop that drives the control loop itself.
  void StartUp();
  // What follows the end of the control loop: the remote sessions closed and joined.
  void Finish();
  // Runs on the control thread once a close is confirmed, before the settings are written: where
  // the window stores its placements and hides.
  void set_close_listener(std::function<void()> listener) { close_listener_ = std::move(listener); }

  bool Start();
  bool Stop();
  // Stop, a pause, and start again: how new parameters take effect.
  bool Restart();
  bool ResetCounters();
  // Configures and (re)starts the bouncer program, as the settings' "Settings..." does.
  bool ConfigureBouncer();
  // Registers or unregisters the start at log-in as `LoadOnStartup` says, unless the service
  // manager starts the router (then the unit decides).
  void UpdateAutoRun();
  // A new physical bandwidth from the settings, in bit/s.
  bool SetPhysicalBandwidth(int64_t value);
  // Reloads or stops bandwidth management of the running service as `EnableBandwidth` now says.
  bool FollowShaping();
  // Exit as the menu's Exit does; `ask` puts the question first (answered No when headless).
  bool Close(bool ask);
  // The remote control's kill: exit with no question.
  bool Kill();

  Settings& settings() { return settings_; }
  Configuration& configuration() { return configuration_; }
  ConfigurationTables& tables() { return tables_; }
  ServiceController& controller() { return controller_; }
  StatusRefresher& refresher() { return refresher_; }
  StatusCounters& counters() { return counters_; }
  TrafficStatistics& statistics() { return statistics_; }
  TessaroBWControl::BWCController& bandwidth_controller() { return bandwidth_controller_; }
  BandwidthService& bandwidth() { return bandwidth_; }
  ControlLoop& loop() { return loop_; }
  l2tp::CL2tp& lns() { return lns_; }
  PylonSource& pylon() { return pylon_; }
  MulticastGroups& multicast_groups() { return multicast_groups_; }
  RemoteControl& remote_control() { return remote_; }
  // The metrics endpoint's port; 0 when it is closed.
  uint16_t metrics_port() const { return metrics_ ? metrics_->port() : 0; }

 private:
  void LoadSettings();
  std::vector<std::string> OwnFiles() const;
  SourceSettings CurrentSourceSettings() const;
  void HandleClose(bool ask);
  // What "Reset counters" resets; on the control thread.
  void ResetAllCounters();
  // The console thread's start: the memberships, only while the tap is open.
  void JoinMulticastGroups();
  // The metrics endpoint when MetricsPort is set, on RemoteControlBind or 127.0.0.1: opened at
  // the start-up, reopened or closed at a service start that finds either key changed.
  void RefreshMetrics();
  // What the tap's capture rings dropped, over all kinds; on the console thread.
  uint64_t TapRingDrops();
  // What the service manager shows for the router.
  std::string StatusLine() const;

  FileSystem& files_;
  Clock& clock_;
  OperatorPrompt& prompt_;
  RouterOptions options_;
  Settings settings_;
  Configuration configuration_;
  ConfigurationTables tables_;
  CorvidRoutes corvid_routes_;
  StatusCounters counters_;
  TrafficStatistics statistics_;
  StatusRefresher refresher_;
  TessaroBWControl::BWCController bandwidth_controller_;
  BandwidthService bandwidth_;
  OutputQueue queue_;
  PacketOutput output_;
  PacketPath path_;
  SendingThread sending_;
  PylonSource pylon_;
  CorvidSource corvid_;
  MulticastGroups multicast_groups_;
  TransparentPort transparent_;
  l2tp::CL2tp lns_;
  L2tpLink l2tp_link_;
  BouncerControl bouncer_;
  ServiceController controller_;
  ControlLoop loop_;
  ServiceNotifier notifier_;
  std::unique_ptr<MetricsEndpoint> metrics_;
  std::string metrics_binding_;  // "address:port" asked for by the last refresh; empty: none
  std::atomic<bool> kill_{false};
  std::function<void()> close_listener_;
  RemoteControl remote_;
};

}  // namespace velmora
