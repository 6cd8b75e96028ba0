#pragma once

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include <gtest/gtest.h>

#include "platform/receive_buffer.h"

namespace velmora::testing {

// A plain UDP socket on loopback, standing in for the inserter or for a program that sends to a
// port of the router. Bound at `port`, or at one the system chooses.
class UdpPeer {
 public:
  explicit UdpPeer(uint16_t port = 0) : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in at = Loopback(port);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    socklen_t length = sizeof at;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &length);
    port_ = ntohs(at.sin_port);
    set_timeout(std::chrono::seconds(5));
  }
  ~UdpPeer() { ::close(fd_); }
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  void set_timeout(std::chrono::microseconds wait) {
    timeval timeout{static_cast<time_t>(wait.count() / 1000000),
                    static_cast<suseconds_t>(wait.count() % 1000000)};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  // The receive buffer the router's sources ask for, so that bursts wait whole.
  void WidenReceiveBuffer() { SizeReceiveBuffer(fd_); }
  // The next datagram, or "<nothing>" after the timeout (five seconds unless set).
  std::string Next() {
    char buffer[20000];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    return n < 0 ? "<nothing>" : std::string(buffer, static_cast<size_t>(n));
  }
  // The next datagram with the time the kernel received it, which no scheduling delay of the
  // reading thread shifts; "<nothing>" after the timeout.
  std::pair<std::string, std::chrono::system_clock::time_point> NextStamped() {
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    char buffer[20000];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    iovec vector{buffer, sizeof buffer};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(fd_, &message, 0);
    if (n < 0) return {"<nothing>", {}};
    timespec stamp{};
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
        std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
      }
    }
    const auto since_epoch =
        std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec);
    return {std::string(buffer, static_cast<size_t>(n)),
            std::chrono::system_clock::time_point(
                std::chrono::duration_cast<std::chrono::system_clock::duration>(since_epoch))};
  }
  void SendTo(uint16_t port, std::string_view bytes) {
    const sockaddr_in to = Loopback(port);
    EXPECT_EQ(::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                       sizeof to),
              static_cast<ssize_t>(bytes.size()));
  }
  uint16_t port() const { return port_; }

  // A loopback port that was free a moment ago.
  static uint16_t FreePort() { return UdpPeer().port(); }

 private:
  static sockaddr_in Loopback(uint16_t port) {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return at;
  }

  int fd_;
  uint16_t port_ = 0;
};

}  // namespace velmora::testing
