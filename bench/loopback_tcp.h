#pragma once

// TCP clients of the benchmarks on loopback: a free port, a connection, and the wait for a server
// that starts a moment later.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <thread>

#include "throughput_trial.h"

namespace velmora::bench {

// A TCP port on loopback that was free a moment ago.
inline uint16_t FreeTcpPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in at = LoopbackUdp::Loopback(0);
  ::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at);
  const uint16_t port = PortOf(fd);
  ::close(fd);
  return port;
}

// One client connection to a loopback port; -1 while nothing listens there.
inline int Connect(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in to = LoopbackUdp::Loopback(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    ::close(fd);
    return -1;
  }
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

// Waits up to ten seconds for a server on the port.
inline bool AwaitServer(uint16_t port) {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const int fd = Connect(port);
    if (fd >= 0) {
      ::close(fd);
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace velmora::bench
