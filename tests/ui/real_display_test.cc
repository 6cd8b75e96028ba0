// The real velmora with an X display of the test's own (Xvfb, listening on its local socket
// only): its window appears, and a display that does not open leaves it headless.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>

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

// Where a display number without a server is looked for: above those Xvfb takes first.
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

// An Xvfb server of this test, ended with it. The server chooses a free display number itself
// and tells it through a pipe, so that tests running at once never share one.
class VirtualDisplay {
 public:
  VirtualDisplay() {
    int pipe_ends[2];
    if (!std::filesystem::exists("/usr/bin/Xvfb") || pipe(pipe_ends) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(pipe_ends[0]);
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      const std::string fd = std::to_string(pipe_ends[1]);
      execl("/usr/bin/Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24",
            "-nolisten", "tcp", nullptr);
      _exit(127);
    }
    close(pipe_ends[1]);
    number_ = ReadDisplayNumber(pipe_ends[0]);
    close(pipe_ends[0]);
  }
  ~VirtualDisplay() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    testing::Wait(pid_);
  }
  VirtualDisplay(const VirtualDisplay&) = delete;
  VirtualDisplay& operator=(const VirtualDisplay&) = delete;

  bool up() const { return number_ >= 0; }
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
  // The number the server wrote, a line of digits; -1 when it ended first.
  static int ReadDisplayNumber(int fd) {
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n') line += c;
    return line.empty() ? -1 : std::stoi(line);
  }

  int number_ = -1;
  pid_t pid_ = -1;
};

std::string QuietRouterIni() {
  return testing::TransparentGeneral(testing::UdpPeer::FreePort(), testing::UdpPeer::FreePort()) +
         "BouncerEnable=0\nCorvidEnable=0\nL2tpEnable=0\nEnableBandwidth=0\n";
}

// Starts velmora in `dir` on the X display `display` (none when empty), with `argument` when
// given and QT_QPA_PLATFORM set to `platform` when given.
testing::Child StartOnDisplay(const std::filesystem::path& dir, const std::string& display,
                              const char* argument = nullptr, const char* platform = nullptr) {
  testing::Child child{-1, dir / "router.out"};
  child.pid = fork();
  if (child.pid == 0) {
    chdir(dir.c_str());
    setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    if (display.empty()) {
      unsetenv("DISPLAY");
    } else {
      setenv("DISPLAY", display.c_str(), 1);
    }
    unsetenv("WAYLAND_DISPLAY");
    if (platform != nullptr) {
      setenv("QT_QPA_PLATFORM", platform, 1);
    } else {
      unsetenv("QT_QPA_PLATFORM");
    }
    // In sanitizer builds: system libraries' own leaks are not the router's.
    setenv("LSAN_OPTIONS", "suppressions=" LSAN_SUPPRESSIONS, 1);
    const int fd = open(child.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    execl(VELMORA_BINARY, VELMORA_BINARY, argument, nullptr);
    _exit(127);
  }
  return child;
}

// Runs velmora on `display` with `argument` (and QT_QPA_PLATFORM `platform`) until its output says
// it is headless, runs `while_running`, then ends it with SIGTERM.
void ExpectHeadless(
    const std::string& name, const std::string& display, const char* argument = nullptr,
    const std::function<void()>& while_running = [] {}, const char* platform = nullptr) {
  const auto dir = testing::RouterFolder(name);
  std::ofstream(dir / "velmora.ini") << QuietRouterIni();
  const testing::Child router = StartOnDisplay(dir, display, argument, platform);
  EXPECT_TRUE(WaitFor([&] { return ReadAll(router.out).find(", headless") != std::string::npos; }))
      << ReadAll(router.out);
  while_running();
  kill(router.pid, SIGTERM);
  EXPECT_EQ(testing::Wait(router.pid), 0) << ReadAll(router.out);
  std::filesystem::remove_all(dir);
}

// Starts the windowed router with its window placed away from the default, ends it with `signal`
// and expects a clean exit that stored the placement it had.
void ExpectWindowClosedBy(int signal, const char* name) {
  VirtualDisplay display;
  if (!display.up()) GTEST_SKIP() << "Xvfb is not installed or did not start";
  const auto dir = testing::RouterFolder(name);
  const std::string placement = "WinPosition=0,1,-1,-1,-1,-1,40,30,665,495";
  std::ofstream(dir / "velmora.ini") << QuietRouterIni() << placement << "\n";
  const testing::Child router = StartOnDisplay(dir, display.name());
  EXPECT_TRUE(WaitFor([&] {
    return display.WindowTree().find("\"Velmora Service\"") != std::string::npos;
  })) << display.WindowTree()
      << ReadAll(router.out);
  EXPECT_EQ(ReadAll(router.out).find("headless"), std::string::npos);
  kill(router.pid, signal);
  EXPECT_EQ(testing::Wait(router.pid), 0) << ReadAll(router.out);
  EXPECT_NE(ReadAll(dir / "velmora.ini").find(placement), std::string::npos)
      << ReadAll(dir / "velmora.ini");
  std::filesystem::remove_all(dir);
}

TEST(RealDisplay, TheWindowAppearsAndSigtermClosesIt) {
  ExpectWindowClosedBy(SIGTERM, "velmora_xvfb");
}

TEST(RealDisplay, TheWindowAppearsAndSigintClosesIt) {
  ExpectWindowClosedBy(SIGINT, "velmora_xvfb_int");
}

TEST(RealDisplay, ADisplayThatDoesNotOpenLeavesTheRouterHeadless) {
  const int unused = FreeDisplayNumber(kUnservedNumbers);
  ASSERT_GE(unused, 0);
  ExpectHeadless("velmora_broken_display", ":" + std::to_string(unused));
}

TEST(RealDisplay, WithoutADisplayTheRouterRunsHeadless) {
  ExpectHeadless("velmora_no_display", "");
}

TEST(RealDisplay, APresetPlatformWithoutItsDisplayLeavesTheRouterHeadless) {
  VirtualDisplay display;
  if (!display.up()) GTEST_SKIP() << "Xvfb is not installed or did not start";
  // An X server answers, but the preset platform needs a compositor, and there is none.
  ExpectHeadless(
      "velmora_preset_platform", display.name(), nullptr, [] {}, "wayland");
}

TEST(RealDisplay, TheHeadlessArgumentLeavesADisplayUnused) {
  VirtualDisplay display;
  if (!display.up()) GTEST_SKIP() << "Xvfb is not installed or did not start";
  ExpectHeadless("velmora_headless_argument", display.name(), "--headless", [&] {
    EXPECT_EQ(display.WindowTree().find("Velmora"), std::string::npos) << display.WindowTree();
  });
}

}  // namespace
}  // namespace velmora
