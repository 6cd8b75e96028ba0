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
    std::string text = std::move(buffered_);
    buffered_.clear();
    const auto end = std::chrono::steady_clock::now() + limit;
    while (text.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !Wait(static_cast<int>(left.count()))) break;
      char buffer[65536];
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) {
        closed_by_peer_ = true;
        break;
      }
      text.append(buffer, static_cast<size_t>(n));
    }
    if (text.size() > count) {
      buffered_ = text.substr(count);
      text.resize(count);
    }
    return text;
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
  bool Wait(int milliseconds) {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, milliseconds) > 0;
  }

  int fd_;
  bool connected_ = false;
  bool closed_by_peer_ = false;
  std::string buffered_;
};

}  // namespace velmora::testing
