#include "app/router.h"

#include <arpa/inet.h>

#include <filesystem>

#include "platform/address_text.h"
#include "platform/autostart.h"
#include "platform/local_addresses.h"
#include "platform/process_priority.h"
#include "platform/receive_merging.h"
#include "support/log.h"
#include "support/operator_prompt.h"

namespace velmora {
namespace {

// The bouncer program beside the router's own executable; empty when that is unknown.
std::string BouncerBesideExecutable() {
  const std::string executable = ExecutablePath();
  if (executable.empty()) return {};
  return (std::filesystem::path(executable).parent_path() / kBouncerProgramFile).string();
}

// This host's IPv4 addresses for the tap's address filter, each selected.
std::vector<LocalFilterAddress> SelectedLocalAddresses() {
  std::vector<LocalFilterAddress> addresses;
  for (const std::string& text : LocalIpv4Addresses()) {
    addresses.push_back({.address = DottedToAddress(text)});
  }
  return addresses;
}

}  // namespace

Router::Router(FileSystem& files, Clock& clock, Log& log, OperatorPrompt& prompt,
               RouterOptions options)
    : files_(files),
      clock_(clock),
      prompt_(prompt),
      options_(std::move(options)),
      configuration_(files, log),
      // The tables only call their hooks on edits, after the routes below are built.
      tables_(files, log, prompt, corvid_routes_, settings_, [this] { return OwnFiles(); }),
      corvid_routes_(log, prompt, files, tables_.tables(),
                     {.adapter_description = kCorvidName,
                      .default_route = settings_.CorvidDefaultRoute,
                      .inserter_ip = settings_.InserterIP}),
      statistics_(files, clock, log, LocalFileTimeNow()),
      refresher_(counters_, log, clock),
      bandwidth_controller_(clock, log),
      bandwidth_({settings_, tables_.tables(), tables_.user_profiles(), bandwidth_controller_, log},
                 [this] { controller_.LaunchIfIdle(&sending_); }),
      output_(queue_, bandwidth_controller_, bandwidth_.running()),
      path_{log,
            tables_.tables(),
            counters_,
            statistics_,
            output_,
            settings_.StartListening,
            [this] { return CurrentSourceSettings(); }},
      sending_(
          queue_, log, clock, settings_.StartListening,
          [this] {
            return InserterAddress{settings_.InserterIP, settings_.InserterPort};
          },
          [this] { return !bandwidth_.running(); }),
      pylon_(path_,
             {.enable = settings_.PylonEnable,
              .multicast_interface = settings_.MCastNIC,
              .ipv6_adapter = settings_.Ipv6Adapter,
              .inserter = settings_.InserterIP,
              .virtual_adapter_description = kCorvidName,
              .source_filters = tables_.source_filters(),
              .local_addresses = SelectedLocalAddresses,
              .files = &files,
              // The memberships went with the old interface.
              .tapped_interface_back = [this] { multicast_groups_.Join(); }},
             clock),
      corvid_(path_, corvid_routes_,
              {.enable = settings_.CorvidEnable,
               .inserter = settings_.InserterIP,
               .description = kCorvidName},
              clock),
      multicast_groups_(log, tables_.tables(),
                        [this] { return DottedToAddress(settings_.MCastNIC.get()); }),
      transparent_(path_, {settings_.TransparentEnable, settings_.TransparentPort},
                   [this](const Ipv6Address& address, const MacAddress& mac) {
                     return pylon_.driver().PylonAddIpv6Address(address, mac);
                   }),
      lns_(clock),
      l2tp_link_(
          path_, lns_,
          {settings_.L2tpEnable, settings_.L2tpPort, settings_.L2tpPoolIP, settings_.L2tpPool,
           settings_.LogLevel, tables_.l2tp_users(), tables_.l2tp_peers()}),
      bouncer_({.settings = settings_,
                .tables = tables_.tables(),
                .files = files,
                .log = log,
                .clock = clock,
                .folder = options_.working_folder,
                .program_fallback = BouncerBesideExecutable()}),
      controller_({settings_, configuration_, log, clock, prompt, refresher_, statistics_}),
      notifier_(options_.service_manager, loop_, clock, log,
                {.service_running = [this] { return controller_.running(); },
                 .last_refresh = [this] { return refresher_.last_refresh_time(); },
                 .status = [this] { return StatusLine(); }}),
      remote_({.settings = settings_,
               .loop = loop_,
               .controller = controller_,
               .refresher = refresher_,
               .counters = counters_,
               .data = {tables_.tables(), tables_.editor(), statistics_, tables_.l2tp_users(),
                        tables_.l2tp_peers()},
               .log = log,
               .reset_counters = [this] { ResetAllCounters(); },
               .kill =
                   [this] {
                     kill_ = true;
                     loop_.Post([this] { HandleClose(false); });
                   }}) {
  tables_.Attach(configuration_);
  controller_.AddSource(&sending_);
  controller_.AddSource(&corvid_);
  controller_.AddSource(&pylon_);
  controller_.OpenBeforeOthers(&pylon_);
  controller_.AddSource(&transparent_);
  controller_.AddSource(&bouncer_);
  controller_.AddSource(&l2tp_link_);
  controller_.set_shaping(
      [this] {
        if (settings_.EnableBandwidth) bandwidth_.Start();
      },
      [this] { bandwidth_.Stop(); });
  refresher_.AddTick([this] { statistics_.Tick(); });
  refresher_.set_qos_source([this]() -> std::optional<QosFigures> {
    if (!bandwidth_.running()) return std::nullopt;
    return QosFigures{bandwidth_controller_.GetProfileStatistics(),
                      bandwidth_controller_.physical_bandwidth()};
  });
  refresher_.set_tunnel_probe([this] { return lns_.GetTunnelCount() > 0; });
  refresher_.set_queue_probe([this] { return queue_.size(); });
  refresher_.set_drop_probe([this] {
    return SourceDrops{corvid_.driver().dropped(), TapRingDrops()};
  });
  refresher_.set_on_start([this] { JoinMulticastGroups(); });
  controller_.set_drop_memberships([this] { multicast_groups_.Drop(); });
  controller_.set_remote_control([this] {
    remote_.Refresh();
    RefreshMetrics();
  });
}

void Router::JoinMulticastGroups() {
  // A router whose tap is off joins nothing, so the network never hears a report from it.
  if (!pylon_.open()) return;
  multicast_groups_.Join();
  multicast_groups_.Rejoin();
}

int Router::Run() {
  StartUp();
  loop_.Run();
  Finish();
  return 0;
}

void Router::Finish() {
  // The sessions' connections are shut down before their threads are joined; a session still
  // waiting for the loop has been released by its end.
  remote_.Shutdown();
}

void Router::StartUp() {
  LoadSettings();
  UpdateAutoRun();
  if (settings_.StartListening != 0) {
    loop_.Post([this] { controller_.ServiceStart(); });
  } else {
    // The panel's one refresh while the service is stopped.
    refresher_.Stop();
    refresher_.Start(&controller_.exiting());
  }
  RaiseProcessPriority();
  remote_.Refresh();
  RefreshMetrics();
  // After the service start posted above.
  loop_.Post([this] { notifier_.AnnounceReady(); });
}

void Router::UpdateAutoRun() {
  if (!options_.started_as_unit) {
    SetAutoRun(settings_.LoadOnStartup, {options_.command_line, options_.working_folder});
    return;
  }
  if (settings_.LoadOnStartup != 0) {
    path_.log << "LoadOnStartup=1 is left to the service unit (systemctl enable velmora)\n";
  }
}

uint64_t Router::TapRingDrops() {
  uint64_t dropped = 0;
  for (const PylonFrameKind kind :
       {PylonFrameKind::kPort, PylonFrameKind::kArp, PylonFrameKind::kIpv6}) {
    if (const auto counts = pylon_.driver().PylonCounts(kind)) dropped += counts->dropped;
  }
  return dropped;
}

void Router::RefreshMetrics() {
  std::string address = settings_.RemoteControlBind.get();
  in_addr parsed{};
  if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) address = "127.0.0.1";
  const std::string binding =
      settings_.MetricsPort == 0 ? "" : address + ":" + std::to_string(settings_.MetricsPort.get());
  if (binding == metrics_binding_) return;
  metrics_.reset();
  metrics_binding_ = binding;
  if (binding.empty()) return;
  auto l2tp = [this] {
    return L2tpFigures{lns_.GetTunnelCount(), lns_.GetSessionCount(), lns_.GetLoginsAccepted(),
                       lns_.GetLoginsRefused()};
  };
  try {
    metrics_ = std::make_unique<MetricsEndpoint>(
        MetricsSource{settings_, refresher_, counters_, l2tp, [this] { return queue_.dropped(); }},
        address, settings_.MetricsPort);
    path_.log << "Metrics on http://" << address << ":" << metrics_->port() << "/metrics\n";
  } catch (const std::exception& e) {
    path_.log << "!Metrics endpoint " << address << ":" << settings_.MetricsPort.get()
              << " not opened: " << e.what() << "\n";
    metrics_binding_.clear();  // tried again at the next service start
  }
}

std::string Router::StatusLine() const {
  if (!controller_.running()) return "Service stopped";
  return "Service running, " + std::to_string(refresher_.last().total_kbps) + " kbit/s";
}

void Router::LoadSettings() {
  configuration_.Load(settings_);
  // First, so that a host left without its default route by a killed run gets it back at once.
  corvid_routes_.RecoverCorvidRoutes();
  RestoreRecordedMerging(files_, kMergingStateFile,
                         [this](std::string_view line) { path_.log << line; });
  tables_.FinishLoad();
  configuration_.ApplySettings(settings_, {.local_addresses = LocalIpv4Addresses(),
                                           .profiles = tables_.ProfileGuarantees()});
  if (settings_.StatisticEnable != 0) statistics_.SetFile(settings_.StatisticFile.get());
  tables_.editor().RemoveInserterRows(settings_.InserterIP, prompt_);
}

std::vector<std::string> Router::OwnFiles() const {
  const std::string log = settings_.LogFileName.get();
  return {Configuration::kFileName,
          options_.lock_file,
          log,
          log + "1",
          log + "2",
          statistics_.active_file(),
          kRouteStateFile,
          kMergingStateFile,
          kBouncerProgramFile,
          kBouncerIniFile,
          kBouncerStateFile};
}

SourceSettings Router::CurrentSourceSettings() const {
  return {.dvb = settings_.TypeChannel == std::string("DVB"),
          .traffic_control = settings_.TrafficControl != 0,
          .traffic_limit = TrafficLimitBytes(settings_.MaxPayloadCut)};
}

bool Router::Start() {
  return loop_.PostAndWait([this] {
    if (!controller_.running() || !controller_.menu_running()) controller_.ServiceStart();
  });
}

bool Router::Stop() {
  return loop_.PostAndWait([this] {
    if (controller_.running()) controller_.ServiceStop();
  });
}

bool Router::Restart() {
  return loop_.PostAndWait([this] {
    if (controller_.running()) controller_.ServiceStop();
    clock_.SleepFor(kRestartPause);
    controller_.ServiceStart();
  });
}

bool Router::ConfigureBouncer() {
  return loop_.PostAndWait([this] { bouncer_.ConfigureAndStartBouncer(); });
}

bool Router::ResetCounters() {
  return loop_.PostAndWait([this] { ResetAllCounters(); });
}

void Router::ResetAllCounters() {
  counters_.Reset();
  refresher_.ResetPeaks();
  statistics_.ResetAll();
  bandwidth_controller_.ResetPeaks();
}

bool Router::SetPhysicalBandwidth(int64_t value) {
  return loop_.PostAndWait(
      [this, value] { bandwidth_.ApplyPhysicalBandwidth(value, controller_.running()); });
}

bool Router::FollowShaping() {
  return loop_.PostAndWait([this] { bandwidth_.Follow(controller_.running()); });
}

bool Router::Close(bool ask) {
  return loop_.PostAndWait([this, ask] { HandleClose(ask); });
}

bool Router::Kill() {
  kill_ = true;
  return Close(false);
}

void Router::HandleClose(bool ask) {
  if (ask && !kill_) {
    const PromptAnswer answer = prompt_.Ask({.title = "Kill service request",
                                             .text = "Really kill Velmora service?",
                                             .buttons = PromptButtons::kYesNo,
                                             .icon = PromptIcon::kQuestion,
                                             .default_answer = PromptAnswer::kNo});
    if (answer != PromptAnswer::kYes) return;
  }
  notifier_.AnnounceStopping();
  if (close_listener_) close_listener_();
  configuration_.Save(settings_);
  controller_.set_exiting();
  if (controller_.running()) controller_.ServiceStop();
  refresher_.Join();
  loop_.Quit();
}

}  // namespace velmora
