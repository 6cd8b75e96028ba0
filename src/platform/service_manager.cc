#include "platform/service_manager.h"

#include <sys/stat.h>
#include <systemd/sd-daemon.h>

#include <cstdlib>

namespace velmora {

void SystemdServiceManager::Notify(const std::string& state) {
  sd_notify(0, state.c_str());
}

std::chrono::microseconds SystemdServiceManager::WatchdogInterval() const {
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0) return std::chrono::microseconds(0);
  return std::chrono::microseconds(usec);
}

bool StartedAsUnit() {
  const char* id = std::getenv("INVOCATION_ID");
  return id != nullptr && *id != '\0';
}

bool OutputGoesToJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  struct stat out {};
  if (stream == nullptr || fstat(1, &out) != 0) return false;
  return std::to_string(out.st_dev) + ":" + std::to_string(out.st_ino) == stream;
}

}  // namespace velmora
