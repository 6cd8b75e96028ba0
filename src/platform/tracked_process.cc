#include "platform/tracked_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <utility>

extern char** environ;

namespace velmora {

namespace {

// How long a killed process may take to be gone before the wait gives up on it.
constexpr std::chrono::milliseconds kKillWait{2000};

int PidfdOpen(pid_t pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

bool PidfdSignal(int pidfd, int signal) {
  return syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0) == 0;
}

// Field 22 of /proc/<pid>/stat, counted after the command name, which may hold any character.
std::optional<uint64_t> StartTime(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  std::getline(in, stat);
  const size_t name_end = stat.rfind(')');
  if (name_end == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(name_end + 1));
  std::string field;
  for (int i = 3; i <= 22; ++i) {
    if (!(fields >> field)) return std::nullopt;
  }
  return std::stoull(field);
}

// The program's path; the kernel marks a program whose file was replaced since it started with a
// suffix, which is left off so that a rebuilt or upgraded program keeps its path.
std::string Executable(pid_t pid) {
  constexpr std::string_view kReplaced = " (deleted)";
  std::string path(4096, '\0');
  const ssize_t n =
      readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), path.data(), path.size());
  path.resize(n > 0 ? static_cast<size_t>(n) : 0);
  if (path.ends_with(kReplaced)) path.resize(path.size() - kReplaced.size());
  return path;
}

// The attributes of a started program: a session of its own (so that a Ctrl-C or a hang-up meant
// for this process does not reach it), default handling for the signals this process changes, an
// empty signal mask and no inherited descriptor above 2. Made and used by the thread that starts
// it.
class SpawnAttributes {
 public:
  SpawnAttributes() {
    posix_spawnattr_init(&attributes_);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGTERM, SIGINT, SIGPIPE, SIGHUP, SIGCHLD}) sigaddset(&defaults, signal);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes_, &defaults);
    posix_spawnattr_setsigmask(&attributes_, &none);
    posix_spawnattr_setflags(&attributes_,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    posix_spawn_file_actions_init(&actions_);
    posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
  }
  ~SpawnAttributes() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attributes_);
  }
  const posix_spawnattr_t* attributes() const { return &attributes_; }
  const posix_spawn_file_actions_t* actions() const { return &actions_; }

 private:
  posix_spawnattr_t attributes_;
  posix_spawn_file_actions_t actions_;
};

}  // namespace

std::optional<ProcessIdentity> IdentifyProcess(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  const auto start_time = StartTime(pid);
  if (!start_time) return std::nullopt;
  return ProcessIdentity{pid, *start_time, Executable(pid)};
}

std::optional<TrackedProcess> TrackedProcess::Spawn(const std::string& program,
                                                    const std::vector<std::string>& arguments,
                                                    int& error) {
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const SpawnAttributes spawn;
  pid_t pid = 0;
  // The C library reports a program that cannot be run here, not as an exit of the child.
  error =
      posix_spawn(&pid, program.c_str(), spawn.actions(), spawn.attributes(), argv.data(), environ);
  if (error != 0) return std::nullopt;
  const int pidfd = PidfdOpen(pid);
  const auto identity = IdentifyProcess(pid);
  return TrackedProcess(pidfd, identity.value_or(ProcessIdentity{pid, 0, program}), true);
}

std::optional<TrackedProcess> TrackedProcess::Adopt(const ProcessIdentity& recorded) {
  if (IdentifyProcess(recorded.pid) != recorded) return std::nullopt;
  const int pidfd = PidfdOpen(recorded.pid);
  if (pidfd < 0) return std::nullopt;
  // Checked again with the pidfd held: the id can no longer pass to another process now.
  if (IdentifyProcess(recorded.pid) != recorded) {
    close(pidfd);
    return std::nullopt;
  }
  return TrackedProcess(pidfd, recorded, false);
}

TrackedProcess::TrackedProcess(int pidfd, ProcessIdentity identity, bool child)
    : pidfd_(pidfd), identity_(std::move(identity)), child_(child) {}

TrackedProcess::TrackedProcess(TrackedProcess&& other) noexcept
    : pidfd_(std::exchange(other.pidfd_, -1)),
      identity_(std::move(other.identity_)),
      child_(other.child_) {}

TrackedProcess& TrackedProcess::operator=(TrackedProcess&& other) noexcept {
  std::swap(pidfd_, other.pidfd_);
  std::swap(identity_, other.identity_);
  std::swap(child_, other.child_);
  return *this;
}

TrackedProcess::~TrackedProcess() {
  if (pidfd_ >= 0) close(pidfd_);
}

bool TrackedProcess::WaitForExit(std::chrono::milliseconds limit) const {
  pollfd wait{pidfd_, POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const int ready = poll(&wait, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

std::chrono::steady_clock::time_point TrackedProcess::End(std::chrono::milliseconds grace) {
  const auto asked = std::chrono::steady_clock::now();
  if (pidfd_ < 0) {
    // Without a pidfd only a child can be ended safely: its id stays its own until it is reaped.
    if (child_ && kill(identity_.pid, SIGKILL) == 0) waitpid(identity_.pid, nullptr, 0);
    child_ = false;
    return asked;
  }
  PidfdSignal(pidfd_, SIGTERM);
  bool ended = WaitForExit(grace);
  if (!ended) {
    PidfdSignal(pidfd_, SIGKILL);
    ended = WaitForExit(kKillWait);
  }
  // One that outlasts SIGKILL (stuck in the kernel) is not waited for: it stays a zombie.
  if (child_) waitpid(identity_.pid, nullptr, ended ? 0 : WNOHANG);
  child_ = false;
  close(pidfd_);
  pidfd_ = -1;
  return asked;
}

bool TrackedProcess::ReapIfExited() {
  if (pidfd_ < 0 || !child_ || !WaitForExit(std::chrono::milliseconds(0))) return false;
  waitpid(identity_.pid, nullptr, 0);
  child_ = false;
  close(pidfd_);
  pidfd_ = -1;
  return true;
}

}  // namespace velmora
