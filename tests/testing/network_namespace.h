#pragma once

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

namespace velmora::testing {

// A network namespace of the test's own, entered by the calling thread for the object's life:
// sockets, netlink conversations and threads that the thread starts meanwhile live in it, and
// `Run` executes shell commands in it. Left and deleted (with every process still in it) on
// destruction.
class NetworkNamespace {
 public:
  // Why the test cannot run here, or empty when it can.
  static std::string Unavailable() {
    if (geteuid() != 0) return "needs root for a network namespace";
    if (::access("/dev/net/tun", R_OK | W_OK) != 0) return "needs /dev/net/tun";
    if (std::system("command -v ip >/dev/null") != 0) return "needs ip (iproute2)";
    if (!CanMakeNamespace()) return "cannot make a network namespace here (no CAP_SYS_ADMIN)";
    return {};
  }

  NetworkNamespace()
      : name_(NextName()),
        initial_(::open("/proc/thread-self/ns/net", O_RDONLY)),
        initial_inode_(CurrentInode()) {
    SweepLeftovers();
    ok_ = std::system(("ip netns add " + name_).c_str()) == 0;
    const int target = ::open(("/run/netns/" + name_).c_str(), O_RDONLY);
    ok_ = ok_ && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
    if (target >= 0) ::close(target);
    ok_ = ok_ && Run("ip link set lo up") == 0;
  }
  ~NetworkNamespace() {
    ::setns(initial_, CLONE_NEWNET);
    ::close(initial_);
    std::system(("ip netns pids " + name_ + " | xargs -r kill -9; ip netns del " + name_).c_str());
  }
  NetworkNamespace(const NetworkNamespace&) = delete;
  NetworkNamespace& operator=(const NetworkNamespace&) = delete;

  // True when the namespace was made and the thread is in it, no longer in the one it started in.
  bool entered() const { return ok_ && CurrentInode() != initial_inode_; }
  const std::string& name() const { return name_; }
  // A shell command inside the namespace; its exit status.
  int Run(const std::string& command) const { return std::system(Inside(command).c_str()); }
  // What a shell command inside the namespace prints, standard error included.
  std::string Output(const std::string& command) const {
    std::string text;
    if (FILE* pipe = ::popen((Inside(command) + " 2>&1").c_str(), "r")) {
      char buffer[512];
      while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
      ::pclose(pipe);
    }
    return text;
  }

 private:
  // Namespaces that a test process left when it was killed (a time-out, for one), with whatever
  // still runs in them: those whose process is gone.
  static void SweepLeftovers() {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/run/netns", error)) {
      const std::string name = entry.path().filename().string();
      if (!name.starts_with(kPrefix)) continue;
      const pid_t owner = static_cast<pid_t>(std::atol(name.c_str() + std::strlen(kPrefix)));
      if (owner <= 0 || ::kill(owner, 0) == 0 || errno != ESRCH) continue;
      std::system(("ip netns pids " + name + " | xargs -r kill -9; ip netns del " + name).c_str());
    }
  }
  static bool CanMakeNamespace() {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(::unshare(CLONE_NEWNET) == 0 ? 0 : 1);
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
  }
  std::string Inside(const std::string& command) const {
    return "ip netns exec " + name_ + " sh -c '" + command + "'";
  }
  static ino_t CurrentInode() {
    struct stat own {};
    return ::stat("/proc/thread-self/ns/net", &own) == 0 ? own.st_ino : 0;
  }

  static std::string NextName() {
    static std::atomic<int> count{0};
    return kPrefix + std::to_string(getpid()) + "-" + std::to_string(count++);
  }

  static constexpr const char* kPrefix = "velmora-t";

  std::string name_;
  int initial_;
  ino_t initial_inode_;
  bool ok_ = false;
};

}  // namespace velmora::testing
