#include "platform/socket_handle.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace velmora {

ssize_t SocketHandle::Refuse() {
  errno = EBADF;
  return -1;
}

void SocketHandle::Release() {
  std::lock_guard lock(mutex_);
  if (--users_ == 0 && closed_ && fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

void SocketHandle::Close() {
  std::lock_guard lock(mutex_);
  if (closed_) return;
  closed_ = true;
  if (fd_ < 0) return;
  ::shutdown(fd_, SHUT_RDWR);
  if (users_ == 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

uint16_t SocketHandle::LocalPort() {
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  Use([&](int fd) { return ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length); });
  return ntohs(bound.sin_port);
}

bool SocketHandle::closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

}  // namespace velmora
