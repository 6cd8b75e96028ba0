#include "platform/driver_event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace velmora {

DriverEvent::DriverEvent() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

DriverEvent::~DriverEvent() {
  if (fd_ >= 0) ::close(fd_);
}

void DriverEvent::Signal() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(fd_, &one, sizeof one);
}

void DriverEvent::Reset() {
  uint64_t signals = 0;
  [[maybe_unused]] const ssize_t read = ::read(fd_, &signals, sizeof signals);
}

void DriverEvent::Wait() {
  while (!WaitAtMost(-1)) {
  }
}

bool DriverEvent::WaitAtMost(int limit_ms) {
  const Readiness ready = Poll(limit_ms);
  if (ready.signalled) Reset();
  return ready.signalled || ready.watched;
}

bool DriverEvent::Ready() const {
  const Readiness ready = Poll(0);
  return ready.signalled || ready.watched;
}

DriverEvent::Readiness DriverEvent::Poll(int timeout_ms) const {
  pollfd watched[2] = {{.fd = fd_, .events = POLLIN}, {.fd = watched_, .events = POLLIN}};
  const nfds_t count = watched_ >= 0 ? 2 : 1;
  if (::poll(watched, count, timeout_ms) <= 0) return {};
  // A descriptor in error also ends the wait, so that its reader meets the error.
  return {.signalled = (watched[0].revents & POLLIN) != 0,
          .watched = count == 2 && watched[1].revents != 0};
}

}  // namespace velmora
