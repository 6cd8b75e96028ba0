// The start-up of the real executable: the single-instance test, a refused start, and the
// autostart entry it writes.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "testing/velmora_process.h"

namespace velmora {
namespace {

using testing::ReadAll;

constexpr int kHung = -1;

// The exit status of `pid` (128 + the signal that ended it, as a shell gives it) if it ends within
// five seconds; otherwise it is killed and kHung returned.
int WaitBriefly(pid_t pid) {
  int status = 0;
  const bool ended = testing::WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; });
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return kHung;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

const char kQuietGeneral[] =
    "[GENERAL]\nRemoteControlOn=0\nPylonEnable=0\nBouncerEnable=0\nL2tpEnable=0\n"
    "TransparentEnable=0\nStatisticEnable=0\n";

// A second copy is refused before it handles signals: a SIGTERM right after "Already running!"
// ends it at once or finds it gone, and never disturbs the first copy.
TEST(MainEndToEnd, ASecondCopyEndsAtOnceWhateverSignalFollowsItsRefusal) {
  const auto dir = testing::RouterFolder("velmora_main_second");
  std::ofstream(dir / "velmora.ini") << kQuietGeneral;
  const testing::Child first = testing::StartVelmora(dir, "first");
  ASSERT_TRUE(testing::WaitFor(
      [&] { return ReadAll(first.out).find("Corvid name is") != std::string::npos; }));
  for (int attempt = 0; attempt < 5; ++attempt) {
    const testing::Child second = testing::StartVelmora(dir, "second" + std::to_string(attempt));
    for (int poll = 0; poll < 5000; ++poll) {
      if (ReadAll(second.out).find("Already running!") != std::string::npos) break;
      usleep(1000);
    }
    kill(second.pid, SIGTERM);
    const int result = WaitBriefly(second.pid);
    EXPECT_TRUE(result == 0 || result == 128 + SIGTERM) << "attempt " << attempt << ": " << result;
    EXPECT_NE(ReadAll(second.out).find("Already running!"), std::string::npos);
  }
  EXPECT_EQ(kill(first.pid, 0), 0);
  kill(first.pid, SIGTERM);
  EXPECT_EQ(WaitBriefly(first.pid), 0);
  std::filesystem::remove_all(dir);
}

TEST(MainEndToEnd, ALockFileThatCannotBeMadeIsReportedAsSuch) {
  const auto dir = testing::RouterFolder("velmora_main_lock");
  std::ofstream(dir / "velmora.ini") << kQuietGeneral;
  std::filesystem::create_directory(dir / "velmora.lock");  // fails even for root
  const testing::Child router = testing::StartVelmora(dir, "router");
  EXPECT_EQ(WaitBriefly(router.pid), 1);
  const std::string out = ReadAll(router.out);
  EXPECT_NE(
      out.find("Cannot create the lock file velmora.lock in " + dir.string() + " (Is a directory)"),
      std::string::npos)
      << out;
  EXPECT_EQ(out.find("Already running!"), std::string::npos) << out;
  std::filesystem::remove_all(dir);
}

// Started by a relative name, the router still registers itself by its absolute path.
TEST(MainEndToEnd, TheAutostartEntryNamesTheProgramByItsAbsolutePath) {
  const auto dir = testing::RouterFolder("velmora_main_autostart");
  std::ofstream(dir / "velmora.ini") << kQuietGeneral << "LoadOnStartup=1\n";
  const std::filesystem::path program = VELMORA_BINARY;
  std::filesystem::create_symlink(program, dir / "velmora");
  const pid_t pid = fork();
  if (pid == 0) {
    chdir(dir.c_str());
    setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    unsetenv("INVOCATION_ID");  // a test run inside a systemd unit leaves autostart to it
    const int fd = open("router.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    execl("./velmora", "./velmora", "--headless", nullptr);
    _exit(127);
  }
  const auto entry = dir / "config" / "autostart" / "velmora.desktop";
  ASSERT_TRUE(testing::WaitFor([&] { return std::filesystem::exists(entry); }));
  kill(pid, SIGTERM);
  EXPECT_EQ(WaitBriefly(pid), 0);
  const std::string text = ReadAll(entry);
  EXPECT_NE(text.find("\nExec=" + std::filesystem::canonical(program).string() + " --headless\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\nPath=" + dir.string() + "\n"), std::string::npos) << text;
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace velmora
