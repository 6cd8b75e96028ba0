#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::testing {

// A TCP port on 127.0.0.1 that nothing listens on now, for a server the test starts.
inline uint16_t FreeTcpPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof at;
  ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size);
  ::close(fd);
  return ntohs(at.sin_port);
}

// A scripted remote-control client on loopback. One thread uses it.
class RemoteClient {
 public:
  explicit RemoteClient(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
  }
  ~RemoteClient() { Close(); }
  RemoteClient(const RemoteClient&) = delete;
  RemoteClient& operator=(const RemoteClient&) = delete;

  bool connected() const { return connected_; }
  bool Send(std::string_view bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  // The next `count` bytes, or fewer when the peer closes or `limit` passes first; bytes beyond
  // them wait for the next call.
  std::string Read(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (buffered_.size() < count && Fill(deadline)) {
    }
    return Take(std::min(count, buffered_.size()));
  }
  // The next reply line with its CR LF; what arrived when the peer closes or five seconds pass.
  std::string ReadLine() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    size_t end = buffered_.find("\r\n");
    while (end == std::string::npos && Fill(deadline)) end = buffered_.find("\r\n");
    return Take(end == std::string::npos ? buffered_.size() : end + 2);
  }
  // Everything that arrives within `quiet` of the last byte.
  std::string ReadAll(std::chrono::milliseconds quiet = std::chrono::milliseconds(200)) {
    std::string text;
    for (std::string more = Read(1 << 20, quiet); !more.empty(); more = Read(1 << 20, quiet)) {
      text += more;
    }
    return text;
  }
  // The peer closed the connection (after what `ReadAll` returned).
  bool ClosedByPeer(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    while (!closed_by_peer_ && Read(1 << 20, limit).size() > 0) {
    }
    return closed_by_peer_;
  }
  // Ends with a reset instead of an orderly close.
  void Reset() {
    linger hard{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    Close();
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  // Receives what arrives before `deadline` into the buffer: false when nothing did.
  bool Fill(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd_, POLLIN, 0};
    if (closed_by_peer_ || left.count() <= 0 ||
        ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      return false;
    }
    char buffer[65536];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) {
      closed_by_peer_ = true;
      return false;
    }
    buffered_.append(buffer, static_cast<size_t>(n));
    return true;
  }
  std::string Take(size_t count) {
    std::string text = buffered_.substr(0, count);
    buffered_.erase(0, count);
    return text;
  }

  int fd_;
  bool connected_ = false;
  bool closed_by_peer_ = false;
  std::string buffered_;
};

}  // namespace velmora::testing
