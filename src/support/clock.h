#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace velmora {

// A monotonic time source with the waits that depend on it. Every timer and pause of the router
// goes through one, so that tests can run them in simulated time. Any thread may call it.
class Clock {
 public:
  using Duration = std::chrono::nanoseconds;
  using TimePoint = std::chrono::time_point<std::chrono::steady_clock, Duration>;

  virtual ~Clock() = default;
  virtual TimePoint Now() const = 0;
  virtual void SleepFor(Duration d) = 0;
  // Waits on `cv` (with `lock` held) until `done()` holds or `deadline` has passed on this clock.
  // Returns the last value of `done()`.
  virtual bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                         TimePoint deadline, const std::function<bool()>& done) = 0;
};

// The machine's steady clock.
class SystemClock final : public Clock {
 public:
  TimePoint Now() const override;
  void SleepFor(Duration d) override;
  bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                 TimePoint deadline, const std::function<bool()>& done) override;
};

// Simulated time for tests: it moves only when a thread sleeps (the sleeper jumps ahead by its
// pause) or when the test calls Advance. Waiting threads notice the new time within a millisecond
// of real time.
class SimulatedClock final : public Clock {
 public:
  TimePoint Now() const override;
  void SleepFor(Duration d) override;
  bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                 TimePoint deadline, const std::function<bool()>& done) override;
  void Advance(Duration d);

 private:
  mutable std::mutex mutex_;
  TimePoint now_{};
};

// The process's one real clock.
Clock& RealClock();

}  // namespace velmora
