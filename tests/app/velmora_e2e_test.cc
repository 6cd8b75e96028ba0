// Runs the real executable in a folder of its own and ends it with SIGTERM.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

struct Child {
  pid_t pid;
  std::filesystem::path out;
};

Child StartVelmora(const std::filesystem::path& dir, const std::string& name) {
  Child child{-1, dir / (name + ".out")};
  child.pid = fork();
  if (child.pid == 0) {
    chdir(dir.c_str());
    const int fd = open(child.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    execl(VELMORA_BINARY, VELMORA_BINARY, "--headless", nullptr);
    _exit(127);
  }
  return child;
}

std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 500; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

int Wait(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(VelmoraEndToEnd, StartsWritesSettingsRefusesASecondCopyAndStopsOnSigterm) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("velmora_e2e_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "velmora.ini") << "[GENERAL]\nRemoteControlOn=0\nLogOn=1\nFoo=bar\n";
  const Child first = StartVelmora(dir, "first");
  ASSERT_TRUE(
      WaitFor([&] { return ReadAll(first.out).find("Corvid name is") != std::string::npos; }));
  ASSERT_TRUE(WaitFor([&] {
    return ReadAll(dir / "velmora.ini").find("StartListening=1\r\n") != std::string::npos;
  }));

  const Child second = StartVelmora(dir, "second");
  EXPECT_EQ(Wait(second.pid), 0);
  EXPECT_NE(ReadAll(second.out).find("Already running!"), std::string::npos);

  kill(first.pid, SIGTERM);
  EXPECT_EQ(Wait(first.pid), 0);
  const std::string ini = ReadAll(dir / "velmora.ini");
  EXPECT_NE(ini.find("StartListening=1\r\n"), std::string::npos);
  EXPECT_NE(ini.find("Foo=bar\r\n"), std::string::npos);
  EXPECT_NE(ReadAll(dir / "velmora.log1").find("Corvid name is"), std::string::npos);
  std::filesystem::remove_all(dir);
}

}  // namespace
