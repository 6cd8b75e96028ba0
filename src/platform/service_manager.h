#pragma once

#include <chrono>
#include <string>

namespace velmora {

// The service manager that started the process (systemd): where readiness, status lines, watchdog
// keep-alives and the stop notice go. An interface so that tests can record what is sent. Called
// from the control thread.
class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  // Sends one notification, such as "READY=1" or "STATUS=...", or several separated by "\n".
  // Does nothing when no service manager listens.
  virtual void Notify(const std::string& state) = 0;
  // How often the manager expects "WATCHDOG=1"; zero when it watches nothing.
  virtual std::chrono::microseconds WatchdogInterval() const = 0;
};

// The systemd notification protocol through libsystemd ($NOTIFY_SOCKET, $WATCHDOG_USEC).
class SystemdServiceManager final : public ServiceManager {
 public:
  void Notify(const std::string& state) override;
  std::chrono::microseconds WatchdogInterval() const override;
};

// True when systemd started the process as a unit ($INVOCATION_ID set).
bool StartedAsUnit();
// True when standard output is connected to the journal ($JOURNAL_STREAM names its device and
// inode).
bool OutputGoesToJournal();

}  // namespace velmora
