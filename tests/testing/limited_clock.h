#pragma once

#include <condition_variable>
#include <mutex>

#include "support/clock.h"

namespace velmora::testing {

// Simulated time that only sleeps move, up to a limit: a sleep that would pass the limit waits
// until the test raises it. A test runs a pacing thread to an exact instant with RunTo and looks
// at what happened meanwhile while the thread stands still. Unlimit before the sleeper is joined.
class LimitedClock final : public Clock {
 public:
  TimePoint Now() const override {
    std::lock_guard<std::mutex> guard(mutex_);
    return now_;
  }

  void SleepFor(Duration d) override {
    std::unique_lock<std::mutex> lock(mutex_);
    ++sleepers_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return unlimited_ || now_ + d <= limit_; });
    --sleepers_;
    now_ += d;
  }

  bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                 TimePoint deadline, const std::function<bool()>& done) override {
    while (!done()) {
      if (Now() >= deadline) return false;
      cv.wait_for(lock, std::chrono::milliseconds(1));
    }
    return true;
  }

  // Lets sleepers run until `limit` and waits until one is held there.
  void RunTo(TimePoint limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    limit_ = limit;
    changed_.notify_all();
    changed_.wait(lock, [&] { return sleepers_ > 0 && now_ + kStep > limit_; });
  }
  void RunFor(Duration d) { RunTo(Now() + d); }
  // Moves time for a test whose threads do not sleep.
  void Advance(Duration d) {
    std::lock_guard<std::mutex> guard(mutex_);
    now_ += d;
    limit_ = std::max(limit_, now_);
  }
  void Unlimit() {
    std::lock_guard<std::mutex> guard(mutex_);
    unlimited_ = true;
    changed_.notify_all();
  }

 private:
  static constexpr Duration kStep = std::chrono::milliseconds(1);  // the sleeper's pause

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  TimePoint now_{};
  TimePoint limit_{};
  int sleepers_ = 0;
  bool unlimited_ = false;
};

}  // namespace velmora::testing
