#include "bandwidth/bwc_transmitter.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/socket_error.h"

namespace velmora::TessaroBWControl {

bool UdpTransmitter::Open(uint32_t address, uint16_t port) {
  Close();
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  address_ = address;
  port_ = port;
  return fd_ >= 0;
}

void UdpTransmitter::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int32_t UdpTransmitter::Send(std::span<const uint8_t> datagram) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = address_;
  to.sin_port = htons(port_);
  const ssize_t sent = ::sendto(fd_, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&to), sizeof to);
  return sent >= 0 ? 0 : SocketErrorCode(errno);
}

}  // namespace velmora::TessaroBWControl
