#include "support/clock.h"

#include <thread>

namespace velmora {

Clock::TimePoint SystemClock::Now() const {
  return std::chrono::time_point_cast<Duration>(std::chrono::steady_clock::now());
}

void SystemClock::SleepFor(Duration d) {
  std::this_thread::sleep_for(d);
}

bool SystemClock::WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                            TimePoint deadline, const std::function<bool()>& done) {
  return cv.wait_until(lock, deadline, done);
}

Clock::TimePoint SimulatedClock::Now() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return now_;
}

void SimulatedClock::SleepFor(Duration d) {
  Advance(d);
}

void SimulatedClock::Advance(Duration d) {
  std::lock_guard<std::mutex> guard(mutex_);
  now_ += d;
}

bool SimulatedClock::WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                               TimePoint deadline, const std::function<bool()>& done) {
  while (!done()) {
    if (Now() >= deadline) return false;
    cv.wait_for(lock, std::chrono::milliseconds(1));
  }
  return true;
}

Clock& RealClock() {
  static SystemClock clock;
  return clock;
}

}  // namespace velmora
