#include "platform/instance_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace velmora {

InstanceLock::InstanceLock(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error_ = errno;
    return;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    error_ = errno == EWOULDBLOCK ? 0 : errno;
    state_ = error_ == 0 ? State::kBusy : State::kNotCreated;
    close(fd);
    return;
  }
  fd_ = fd;
  state_ = State::kHeld;
}

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) close(fd_);
}

}  // namespace velmora
