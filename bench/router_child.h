#pragma once

#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace velmora::bench {

// The port a bound socket got.
inline uint16_t PortOf(int fd) {
  sockaddr_in at{};
  socklen_t length = sizeof at;
  getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length);
  return ntohs(at.sin_port);
}

// Two loopback UDP ports that were free a moment ago.
inline std::pair<uint16_t, uint16_t> FreeLoopbackPorts() {
  int probes[2];
  uint16_t ports[2];
  for (int i = 0; i < 2; ++i) {
    probes[i] = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probes[i], reinterpret_cast<const sockaddr*>(&any), sizeof any);
    ports[i] = PortOf(probes[i]);
  }
  for (const int probe : probes) close(probe);
  return {ports[0], ports[1]};
}

// Datagrams that the UDP socket bound to `port` in `pid`'s network namespace dropped because it
// was not read in time; none while no socket is bound there.
inline std::optional<uint64_t> UdpSocketDrops(pid_t pid, uint16_t port) {
  std::ifstream table("/proc/" + std::to_string(pid) + "/net/udp");
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    // sl, local address:port, remote, st, queues, timer, retransmits, uid, timeout, inode,
    // references, pointer, drops
    std::istringstream row(line);
    std::vector<std::string> fields{std::istream_iterator<std::string>(row), {}};
    if (fields.size() < 13 || fields[1].size() < 5) continue;
    if (std::stoul(fields[1].substr(fields[1].size() - 4), nullptr, 16) != port) continue;
    return std::stoull(fields[12]);
  }
  return std::nullopt;
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
