#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

// The real velmora executable, run headless in a folder of the test's own.
namespace velmora::testing {

// A running router: its process and the file its console goes to.
struct Child {
  pid_t pid;
  std::filesystem::path out;
};

// Starts velmora --headless in `dir`, its output into <name>.out there.
inline Child StartVelmora(const std::filesystem::path& dir, const std::string& name) {
  Child child{-1, dir / (name + ".out")};
  child.pid = fork();
  if (child.pid == 0) {
    chdir(dir.c_str());
    // The router writes or removes its autostart entry: never the tester's own.
    setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    // A test run inside a systemd unit must not make the router behave as that unit.
    unsetenv("INVOCATION_ID");
    unsetenv("JOURNAL_STREAM");
    const int fd = open(child.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    execl(VELMORA_BINARY, VELMORA_BINARY, "--headless", nullptr);
    _exit(127);
  }
  return child;
}

// An empty folder of this process for the router of one test.
inline std::filesystem::path RouterFolder(const std::string& name) {
  const auto dir = std::filesystem::temp_directory_path() / (name + "_" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

// The start of a velmora.ini for a quiet router whose transparent port and inserter are a test's.
inline std::string TransparentGeneral(uint16_t inserter_port, uint16_t transparent_port) {
  return "[GENERAL]\nRemoteControlOn=0\nPylonEnable=0\nBouncerEnable=0\n"
         "LogOn=0\nLogLevel=1\nInserterIP=127.0.0."
         "1\nInserterPort=" +
         std::to_string(inserter_port) +
         "\nTransparentEnable=1\nTransparentPort=" + std::to_string(transparent_port) +
         "\nStatisticEnable=0\n";
}

inline std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Polls `done` for up to five seconds.
inline bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 500; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// The exit status of a child, -1 when it did not exit normally.
inline int Wait(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The router of one test, in a folder of its own: started with a velmora.ini and awaited until its
// output shows a line; killed if the test left it running, and its folder removed, at the end.
class RouterRun {
 public:
  explicit RouterRun(const std::string& name) : dir_(RouterFolder(name)) {}
  ~RouterRun() {
    Kill();
    std::filesystem::remove_all(dir_);
  }
  RouterRun(const RouterRun&) = delete;
  RouterRun& operator=(const RouterRun&) = delete;

  // Writes `ini`, starts the router and waits until its output holds `ready`: false when it did
  // not in time.
  bool Start(const std::string& ini, const std::string& ready) {
    std::ofstream(dir_ / "velmora.ini") << ini;
    return Start(ready);
  }
  // Starts the router again on the velmora.ini it has.
  bool Start(const std::string& ready) {
    std::filesystem::remove(dir_ / "router.out");  // or the last run's lines would count
    child_ = StartVelmora(dir_, "router");
    return WaitFor([&] { return Log().find(ready) != std::string::npos; });
  }
  // Ends the router as the system's stop request does: its exit status.
  int Stop() {
    kill(child_.pid, SIGTERM);
    const int status = Wait(child_.pid);
    child_.pid = -1;
    return status;
  }
  // The exit status once the router has ended by itself within five seconds; -2 when it has not.
  int AwaitExit() {
    int status = 0;
    if (!WaitFor([&] { return waitpid(child_.pid, &status, WNOHANG) == child_.pid; })) return -2;
    child_.pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void Kill() {
    if (child_.pid <= 0) return;
    kill(child_.pid, SIGKILL);
    Wait(child_.pid);
    child_.pid = -1;
  }
  std::string Log() const { return ReadAll(child_.out); }
  const std::filesystem::path& dir() const { return dir_; }

 private:
  std::filesystem::path dir_;
  Child child_{-1, {}};
};

}  // namespace velmora::testing
