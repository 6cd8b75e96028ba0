#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "support/clock.h"
#include "support/event.h"

namespace velmora {

class ControlLoop;
class Log;
class ServiceManager;

// Keeps the service manager told how the router is doing: readiness once the start-up sequence has
// run, a status line whenever it changes, watchdog keep-alives and the stop notice. A thread of its
// own posts a check to the control loop every period; the check runs on the control thread, so a
// hung control thread feeds no watchdog, and neither does a running service whose console thread
// has not refreshed for kStaleRefresh. The thread is started and stopped by the control thread.
class ServiceNotifier {
 public:
  static constexpr auto kStaleRefresh = std::chrono::seconds(10);
  // Checks come at least this often, for the status line, and at half the watchdog interval.
  static constexpr auto kStatusPeriod = std::chrono::seconds(2);

  // What a check reads from the router; called on the control thread.
  struct Probe {
    std::function<bool()> service_running;
    std::function<Clock::TimePoint()> last_refresh;  // of the console thread
    std::function<std::string()> status;             // the status line
  };

  // Whether a check may send "WATCHDOG=1".
  static bool MayFeedWatchdog(bool service_running, Clock::TimePoint now,
                              Clock::TimePoint last_refresh);

  // `manager` may be null: then nothing is sent and no thread runs.
  ServiceNotifier(ServiceManager* manager, ControlLoop& loop, Clock& clock, Log& log, Probe probe);
  ~ServiceNotifier();
  ServiceNotifier(const ServiceNotifier&) = delete;
  ServiceNotifier& operator=(const ServiceNotifier&) = delete;

  // "READY=1" with the first status line, then the checks begin. On the control thread.
  void AnnounceReady();
  // "STOPPING=1"; the checks end. On the control thread.
  void AnnounceStopping();
  // One check: the status line when it changed, "WATCHDOG=1" when the rule allows it.
  void Check();

 private:
  Clock::Duration CheckPeriod() const;
  void RunTimer(Clock::Duration period);
  void StopTimer();
  void FeedWatchdog();

  ServiceManager* manager_;
  ControlLoop& loop_;
  Clock& clock_;
  Log& log_;
  Probe probe_;
  Event stop_;
  std::thread timer_;
  std::atomic<bool> check_posted_{false};
  bool checking_ = false;  // control thread only
  bool withholding_ = false;
  std::string last_status_;
};

}  // namespace velmora
