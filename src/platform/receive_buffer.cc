#include "platform/receive_buffer.h"

#include <sys/socket.h>

namespace velmora {

int SizeReceiveBuffer(int fd) {
  const int wanted = kSourceReceiveBuffer;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof wanted) != 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
  }
  int got = 0;
  socklen_t length = sizeof got;
  ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &got, &length);
  return got;
}

}  // namespace velmora
