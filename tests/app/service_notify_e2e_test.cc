// The real router under a service manager's notification socket of the test's own: readiness,
// watchdog keep-alives with the service running and stopped, and the stop notice.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "testing/udp_peer.h"
#include "testing/velmora_process.h"

namespace velmora {
namespace {

using testing::RouterRun;

// An AF_UNIX datagram socket where the router's notifications arrive, as systemd's would.
class NotifySocket {
 public:
  explicit NotifySocket(const std::filesystem::path& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.string().copy(address.sun_path, sizeof address.sun_path - 1);
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~NotifySocket() {
    close(fd_);
    std::filesystem::remove(path_);
  }
  bool bound() const { return bound_; }
  // Receives until a message holds `text` (true) or `timeout` passes.
  bool AwaitMessage(const std::string& text, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      char buffer[4096];
      const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) continue;
      received.emplace_back(buffer, static_cast<size_t>(n));
      if (received.back().find(text) != std::string::npos) return true;
    }
    return false;
  }
  int Count(const std::string& message) const {
    return static_cast<int>(std::count(received.begin(), received.end(), message));
  }

  std::vector<std::string> received;

 private:
  std::filesystem::path path_;
  int fd_ = -1;
  bool bound_ = false;
};

// Starts the router with the notification socket and a watchdog of 200 ms in its environment.
bool StartNotified(RouterRun& router, const NotifySocket& socket, const std::string& ini,
                   const std::filesystem::path& path) {
  if (!socket.bound()) return false;
  setenv("NOTIFY_SOCKET", path.c_str(), 1);
  setenv("WATCHDOG_USEC", "200000", 1);
  const bool started = router.Start(ini, "Velmora Service in");
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");
  return started;
}

std::string QuietIni(int start_listening) {
  return testing::TransparentGeneral(1, testing::UdpPeer::FreePort()) +
         "BouncerEnable=0\nEnableBandwidth=0\nStartListening=" + std::to_string(start_listening) +
         "\n";
}

TEST(ServiceNotifyE2e, ReadyAfterTheServiceStartedThenWatchdogThenStopping) {
  RouterRun router("velmora_notify_running");
  const auto path = router.dir() / "notify";
  NotifySocket socket(path);
  ASSERT_TRUE(StartNotified(router, socket, QuietIni(1), path)) << router.Log();
  ASSERT_TRUE(socket.AwaitMessage("READY=1", std::chrono::seconds(5))) << router.Log();
  EXPECT_EQ(socket.received.back().rfind("READY=1\nSTATUS=Service running", 0), 0u)
      << socket.received.back();
  while (socket.Count("WATCHDOG=1") < 4 &&
         socket.AwaitMessage("WATCHDOG=1", std::chrono::seconds(2))) {
  }
  EXPECT_GE(socket.Count("WATCHDOG=1"), 4);
  EXPECT_EQ(router.Stop(), 0);
  EXPECT_TRUE(socket.AwaitMessage("STOPPING=1", std::chrono::seconds(1))) << router.Log();
}

TEST(ServiceNotifyE2e, AStoppedServiceKeepsFeedingTheWatchdog) {
  RouterRun router("velmora_notify_stopped");
  const auto path = router.dir() / "notify";
  NotifySocket socket(path);
  ASSERT_TRUE(StartNotified(router, socket, QuietIni(0), path)) << router.Log();
  ASSERT_TRUE(socket.AwaitMessage("READY=1\nSTATUS=Service stopped", std::chrono::seconds(5)))
      << router.Log();
  // A second and a half: seven or so checks at 100 ms, while the console thread does not run.
  socket.AwaitMessage("never sent", std::chrono::milliseconds(1500));
  EXPECT_GE(socket.Count("WATCHDOG=1"), 5);
  EXPECT_EQ(router.Stop(), 0);
  EXPECT_TRUE(socket.AwaitMessage("STOPPING=1", std::chrono::seconds(1))) << router.Log();
}

// Starts the router in `dir` as systemd starts a unit: INVOCATION_ID set and standard output a
// stream that JOURNAL_STREAM names (here a file of the test's own).
pid_t StartAsUnit(const std::filesystem::path& dir) {
  const pid_t pid = fork();
  if (pid == 0) {
    chdir(dir.c_str());
    setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    const int fd = open("router.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    struct stat out {};
    fstat(fd, &out);
    setenv("JOURNAL_STREAM",
           (std::to_string(out.st_dev) + ":" + std::to_string(out.st_ino)).c_str(), 1);
    setenv("INVOCATION_ID", "0123456789abcdef0123456789abcdef", 1);
    dup2(fd, 1);
    dup2(fd, 2);
    execl(VELMORA_BINARY, VELMORA_BINARY, "--headless", nullptr);
    _exit(127);
  }
  return pid;
}

TEST(ServiceNotifyE2e, AsAUnitTheLinesCarryPrioritiesAndAutostartIsLeftToTheUnit) {
  const auto dir = testing::RouterFolder("velmora_notify_unit");
  std::ofstream(dir / "velmora.ini") << QuietIni(0) << "LoadOnStartup=1\n";
  const pid_t pid = StartAsUnit(dir);
  const auto log = [&] { return testing::ReadAll(dir / "router.out"); };
  ASSERT_TRUE(testing::WaitFor([&] {
    return log().find("left to the service unit") != std::string::npos;
  })) << log();
  kill(pid, SIGTERM);
  EXPECT_EQ(testing::Wait(pid), 0);
  EXPECT_EQ(log().rfind("<6>Velmora Service in ", 0), 0u) << log();
  EXPECT_NE(log().find("\n<6>LoadOnStartup=1 is left to the service unit"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir / "config" / "autostart" / "velmora.desktop"));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace velmora
