// Feeds any bytes to TcpSocket::ReadLine in human mode through a local stream socket pair, in
// blocks cut at each 0xFF byte. Every line returned must be whole: no line feed in it and within
// the length limit; the reader must end when the peer has gone.
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

#include "platform/tcp_socket.h"
#include "support/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16384) return 0;
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return 0;
  // The client writes from a thread of its own: many small blocks fill a socket buffer fast.
  std::thread client([input = std::string_view(reinterpret_cast<const char*>(data), size),
                      fd = pair[1]]() mutable {
    while (!input.empty()) {
      const size_t cut = std::min(input.find('\xff'), input.size());
      if (cut > 0 && ::write(fd, input.data(), cut) < 0) break;
      char echo[4096];
      while (::recv(fd, echo, sizeof echo, MSG_DONTWAIT) > 0) {
      }
      input.remove_prefix(std::min(cut + 1, input.size()));
    }
    ::shutdown(fd, SHUT_WR);
  });
  // An echo that finds the client's buffer full gives up instead of waiting for ever.
  const timeval limit{0, 200000};
  ::setsockopt(pair[0], SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  velmora::Log log;
  velmora::TcpSocket session(log, pair[0]);
  session.set_human(true);
  std::string line;
  while (session.ReadLine(line) >= 0) {
    if (line.find('\n') != std::string::npos || line.size() > velmora::TcpSocket::kMaxLine) {
      std::abort();
    }
  }
  if (!line.empty()) std::abort();
  client.join();
  ::close(pair[1]);
  return 0;
}
