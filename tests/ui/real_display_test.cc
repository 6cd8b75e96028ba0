// The real velmora with an X display of the test's own (Xvfb, listening on its local socket
// only): its window appears, and a display that does not open leaves it headless.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "testing/udp_peer.h"
#include "testing/velmora_process.h"

namespace velmora {
namespace {

using testing::ReadAll;
using testing::RouterRun;
using testing::WaitFor;

std::filesystem::path DisplaySocket(int number) {
  return "/tmp/.X11-unix/X" + std::to_string(number);
}

// Where the display numbers of the test's X server and of its display without a server are
// looked for: apart, so that the two tests may run at once.
constexpr int kServerNumbers = 90;
constexpr int kUnservedNumbers = 300;

// A display number from `first` on that no X server uses.
int FreeDisplayNumber(int first) {
  for (int number = first; number < first + 100; ++number) {
    if (!std::filesystem::exists(DisplaySocket(number)) &&
        !std::filesystem::exists("/tmp/.X" + std::to_string(number) + "-lock")) {
      return number;
    }
  }
  return -1;
}

// An Xvfb server of this test, ended with it.
class VirtualDisplay {
 public:
  VirtualDisplay() : number_(FreeDisplayNumber(kServerNumbers)) {
    if (number_ < 0 || !std::filesystem::exists("/usr/bin/Xvfb")) return;
    const std::string display = ":" + std::to_string(number_);
    pid_ = fork();
    if (pid_ == 0) {
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      execl("/usr/bin/Xvfb", "Xvfb", display.c_str(), "-screen", "0", "1024x768x24", "-nolisten",
            "tcp", nullptr);
      _exit(127);
    }
    up_ = WaitFor([&] { return std::filesystem::exists(DisplaySocket(number_)); });
  }
  ~VirtualDisplay() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    testing::Wait(pid_);
  }
  VirtualDisplay(const VirtualDisplay&) = delete;
  VirtualDisplay& operator=(const VirtualDisplay&) = delete;

  bool up() const { return up_; }
  std::string name() const { return ":" + std::to_string(number_); }

  // The titles of the display's windows, as xwininfo lists them.
  std::string WindowTree() const {
    std::string tree;
    const std::string command = "xwininfo -root -tree -display " + name() + " 2>/dev/null";
    if (FILE* pipe = popen(command.c_str(), "r")) {
      char buffer[4096];
      size_t n;
      while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) tree.append(buffer, n);
      pclose(pipe);
    }
    return tree;
  }

 private:
  int number_;
  pid_t pid_ = -1;
  bool up_ = false;
};

// Starts velmora in `dir` without --headless, on the display `display`.
testing::Child StartOnDisplay(const std::filesystem::path& dir, const std::string& display) {
  testing::Child child{-1, dir / "router.out"};
  child.pid = fork();
  if (child.pid == 0) {
    chdir(dir.c_str());
    setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    setenv("DISPLAY", display.c_str(), 1);
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("QT_QPA_PLATFORM");
    // In sanitizer builds: system libraries' own leaks are not the router's.
    setenv("LSAN_OPTIONS", "suppressions=" LSAN_SUPPRESSIONS, 1);
    const int fd = open(child.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    execl(VELMORA_BINARY, VELMORA_BINARY, nullptr);
    _exit(127);
  }
  return child;
}

std::string QuietRouterIni() {
  return testing::TransparentGeneral(testing::UdpPeer::FreePort(), testing::UdpPeer::FreePort()) +
         "BouncerEnable=0\nCorvidEnable=0\nL2tpEnable=0\nEnableBandwidth=0\n";
}

TEST(RealDisplay, TheWindowAppearsAndASignalClosesIt) {
  VirtualDisplay display;
  if (!display.up()) GTEST_SKIP() << "Xvfb is not installed or did not start";
  const auto dir = testing::RouterFolder("velmora_xvfb");
  std::ofstream(dir / "velmora.ini") << QuietRouterIni();
  const testing::Child router = StartOnDisplay(dir, display.name());
  EXPECT_TRUE(WaitFor([&] {
    return display.WindowTree().find("\"Velmora Service\"") != std::string::npos;
  })) << display.WindowTree()
      << ReadAll(router.out);
  EXPECT_EQ(ReadAll(router.out).find("headless"), std::string::npos);
  kill(router.pid, SIGTERM);
  EXPECT_EQ(testing::Wait(router.pid), 0) << ReadAll(router.out);
  EXPECT_NE(ReadAll(dir / "velmora.ini").find("WinPosition=0,1,-1,-1,-1,-1,5,5,630,470"),
            std::string::npos);
  std::filesystem::remove_all(dir);
}

TEST(RealDisplay, ADisplayThatDoesNotOpenLeavesTheRouterHeadless) {
  const int unused = FreeDisplayNumber(kUnservedNumbers);
  ASSERT_GE(unused, 0);
  const auto dir = testing::RouterFolder("velmora_broken_display");
  std::ofstream(dir / "velmora.ini") << QuietRouterIni();
  const testing::Child router = StartOnDisplay(dir, ":" + std::to_string(unused));
  EXPECT_TRUE(WaitFor([&] { return ReadAll(router.out).find(", headless") != std::string::npos; }))
      << ReadAll(router.out);
  kill(router.pid, SIGTERM);
  EXPECT_EQ(testing::Wait(router.pid), 0) << ReadAll(router.out);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace velmora
