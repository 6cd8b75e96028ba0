#include "support/event.h"

namespace velmora {

void Event::Signal() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    signalled_ = true;
  }
  cv_.notify_one();
}

void Event::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [this] { return signalled_; });
  signalled_ = false;
}

bool Event::WaitFor(Clock::Duration timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  const bool got =
      clock_.WaitUntil(lock, cv_, clock_.Now() + timeout, [this] { return signalled_; });
  signalled_ = false;
  return got;
}

}  // namespace velmora
