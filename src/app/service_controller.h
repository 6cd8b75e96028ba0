#pragma once

#include <atomic>
#include <functional>
#include <vector>

#include "support/clock.h"

namespace velmora {

class TrafficStatistics;

class Configuration;
class Log;
class OperatorPrompt;
class ServiceSource;
class StatusRefresher;
struct Settings;

// Starts and stops the service: saves the settings, launches the console thread and every enabled
// source, and on stop clears the running flag before it wakes, closes and joins them. Owned by the
// control thread, which alone calls ServiceStart and ServiceStop.
class ServiceController {
 public:
  struct Parts {
    Settings& settings;
    Configuration& configuration;
    Log& log;
    Clock& clock;
    OperatorPrompt& prompt;
    StatusRefresher& refresher;
    TrafficStatistics& statistics;
  };

  explicit ServiceController(const Parts& parts);

  // Sources in the order they are launched, woken and closed; they are opened in that order too,
  // but for those that open before all others.
  void AddSource(ServiceSource* source);
  // Makes `source`, added already, open its driver before the other sources open theirs.
  void OpenBeforeOthers(ServiceSource* source);
  // Called with true when the service shows as running (Start disabled, Stop enabled).
  void set_menu_listener(std::function<void(bool)> listener) {
    menu_listener_ = std::move(listener);
  }

  // Bandwidth management's start, run before the sources are chosen, and its stop, run after
  // they have ended.
  void set_shaping(std::function<void()> start, std::function<void()> stop) {
    start_shaping_ = std::move(start);
    stop_shaping_ = std::move(stop);
  }
  // Ends the console thread's multicast memberships; run at the stop after that thread ended.
  void set_drop_memberships(std::function<void()> drop) { drop_memberships_ = std::move(drop); }
  // Opens, reopens or closes the remote-control listener as the settings say; run at every start
  // after the drivers open.
  void set_remote_control(std::function<void()> refresh) { refresh_remote_ = std::move(refresh); }
  // Launches a source that the last start left out, once that start has finished.
  void LaunchIfIdle(ServiceSource* source);

  void ServiceStart();
  void ServiceStop();
  bool running() const;
  bool menu_running() const { return menu_running_; }
  const std::atomic<bool>& exiting() const { return exiting_; }
  void set_exiting() { exiting_ = true; }

 private:
  void ShowMenu(bool running);
  // Ends every thread of the current run: the stop sequence after the settings are saved.
  void Shutdown();
  void ReportStartError();
  void OpenDrivers();

  Parts parts_;
  std::vector<ServiceSource*> sources_;
  std::vector<ServiceSource*> active_;  // the sources enabled at the last start
  std::vector<ServiceSource*> open_first_;
  std::function<void(bool)> menu_listener_;
  std::function<void()> start_shaping_;
  std::function<void()> stop_shaping_;
  std::function<void()> drop_memberships_;
  std::function<void()> refresh_remote_;
  bool menu_running_ = false;
  std::atomic<bool> exiting_{false};
};

}  // namespace velmora
