#pragma once

#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace velmora::bench {

// The port a bound socket got.
inline uint16_t PortOf(int fd) {
  sockaddr_in at{};
  socklen_t length = sizeof at;
  getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length);
  return ntohs(at.sin_port);
}

// The real router, headless, in a folder of its own with the given velmora.ini; its console
// goes to velmora.out there. SIGTERM ends it and its folder goes when the object does.
class RouterChild {
 public:
  RouterChild(const std::string& name, const std::string& ini)
      : dir_(std::filesystem::temp_directory_path() / (name + "_" + std::to_string(getpid()))) {
    std::filesystem::create_directories(dir_);
    std::ofstream(dir_ / "velmora.ini") << ini;
    std::fflush(stdout);  // or the child would print what is buffered again
    pid_ = fork();
    if (pid_ == 0) {
      chdir(dir_.c_str());
      freopen("velmora.out", "w", stdout);
      execl(VELMORA_BINARY, VELMORA_BINARY, "--headless", nullptr);
      _exit(127);
    }
  }
  ~RouterChild() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    std::filesystem::remove_all(dir_);
  }
  RouterChild(const RouterChild&) = delete;
  RouterChild& operator=(const RouterChild&) = delete;

  pid_t pid() const { return pid_; }
  const std::filesystem::path& dir() const { return dir_; }

 private:
  std::filesystem::path dir_;
  pid_t pid_;
};

}  // namespace velmora::bench
