#pragma once

#include <condition_variable>
#include <mutex>

#include "support/clock.h"

namespace velmora {

// An auto-reset event: Signal lets exactly one wait return (now or later), after which the event
// is clear again. Any thread may signal or wait.
class Event {
 public:
  explicit Event(Clock& clock = RealClock()) : clock_(clock) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Signal();
  void Wait();
  // Returns true when the event was signalled, false when `timeout` passed first.
  bool WaitFor(Clock::Duration timeout);

 private:
  Clock& clock_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_ = false;
};

}  // namespace velmora
