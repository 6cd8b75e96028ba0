#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

// What tells one process apart from a later one that got the same id: the id, the start time the
// kernel gives it (clock ticks after boot) and the program it runs.
struct ProcessIdentity {
  pid_t pid = 0;
  uint64_t start_time = 0;
  std::string executable;

  bool operator==(const ProcessIdentity&) const = default;
};

// The identity of a running process from /proc; none when it does not exist or cannot be read.
std::optional<ProcessIdentity> IdentifyProcess(pid_t pid);

// A program this process started, or one an earlier run started that is adopted by its identity,
// held by a pidfd so that a signal never reaches another process that reused the id. Owned and
// called by one thread.
class TrackedProcess {
 public:
  // Starts `program` with `arguments` (argv[1] on) by posix_spawn, with default signal handling,
  // no blocked signals and none of this process's descriptors but 0, 1 and 2. None, with `error`
  // set to the errno value, when it could not be started (the program could not be run included).
  static std::optional<TrackedProcess> Spawn(const std::string& program,
                                             const std::vector<std::string>& arguments, int& error);
  // Takes over the process `recorded` names when a process with all of that identity still runs;
  // none otherwise.
  static std::optional<TrackedProcess> Adopt(const ProcessIdentity& recorded);

  TrackedProcess(TrackedProcess&& other) noexcept;
  TrackedProcess& operator=(TrackedProcess&& other) noexcept;
  TrackedProcess(const TrackedProcess&) = delete;
  TrackedProcess& operator=(const TrackedProcess&) = delete;
  ~TrackedProcess();

  // Asks the process to end (SIGTERM) and waits for its exit for at most `grace`; then kills it
  // (SIGKILL) and waits again. A child that has exited is reaped; one tracked without a pidfd is
  // killed at once. Returns when the SIGTERM was sent.
  std::chrono::steady_clock::time_point End(std::chrono::milliseconds grace);
  // Reaps a child that has exited without being asked to; true when it has (the object then
  // tracks nothing).
  bool ReapIfExited();

  const ProcessIdentity& identity() const { return identity_; }
  bool child() const { return child_; }

 private:
  TrackedProcess(int pidfd, ProcessIdentity identity, bool child);
  bool WaitForExit(std::chrono::milliseconds limit) const;

  int pidfd_ = -1;
  ProcessIdentity identity_;
  bool child_ = false;
};

}  // namespace velmora
