#include "platform/udp_port.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/receive_buffer.h"
#include "platform/socket_error.h"

namespace velmora {

UdpPort::UdpPort()
    : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)),
      wake_fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

UdpPort::~UdpPort() {
  if (fd_ >= 0) ::close(fd_);
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

int32_t UdpPort::Bind(uint32_t address, uint16_t port) {
  if (fd_ < 0) return SocketErrorCode(EMFILE);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = address;
  local.sin_port = htons(port);
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    return SocketErrorCode(errno);
  }
  return 0;
}

uint16_t UdpPort::local_port() const {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
  return ntohs(local.sin_port);
}

int UdpPort::SizeReceiveBuffer() {
  return velmora::SizeReceiveBuffer(fd_);
}

void UdpPort::ReceiveBatch(DatagramBatch& batch) {
  mmsghdr* headers = batch.PrepareReceive();
  const int received = ::recvmmsg(fd_, headers, kDatagramBatch, MSG_TRUNC, nullptr);
  for (size_t i = 0; i < static_cast<size_t>(std::max(received, 0)); ++i) {
    const size_t length = batch.received(i).msg_len;
    if (length <= batch.capacity()) batch.Keep(i, length);
  }
}

int32_t UdpPort::Send(const sockaddr_in& to, std::span<const uint8_t> datagram) {
  const ssize_t sent = ::sendto(fd_, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&to), sizeof to);
  return sent >= 0 ? 0 : SocketErrorCode(errno);
}

UdpPort::Wait UdpPort::WaitFor(std::chrono::milliseconds timeout) {
  pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {fd_, POLLIN, 0}};
  const int ready = ::poll(fds, 2, static_cast<int>(timeout.count()));
  if (ready <= 0) return Wait::kTimeout;
  if (fds[0].revents & POLLIN) return Wait::kWoken;
  return Wait::kReadable;
}

void UdpPort::Wake() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_fd_, &one, sizeof one);
}

void UdpPort::ClearWake() {
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = ::read(wake_fd_, &count, sizeof count);
}

}  // namespace velmora
