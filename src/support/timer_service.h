#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "support/clock.h"

namespace velmora {

// The one-shot timers of a server run: retransmissions, keep-alives, time-outs. A handle names a
// slot and the generation of the timer in it, so a handle kept after its timer fired or was
// cancelled never touches a later timer in the same slot, and an owner that cancels its timers
// when it goes can never be called back. Owned and called by the server thread only.
class TimerService {
 public:
  using Callback = std::function<void()>;
  struct Handle {
    uint32_t slot = 0;
    uint32_t generation = 0;  // 0: no timer
    explicit operator bool() const { return generation != 0; }
  };
  static constexpr auto kMaxWait = std::chrono::milliseconds(1000);
  // A timer this close to its time fires in the current run.
  static constexpr auto kSlack = std::chrono::milliseconds(10);

  explicit TimerService(Clock& clock) : clock_(clock) {}

  Handle Create(Clock::Duration delay, Callback callback);
  // Stops the timer, if it still waits, and clears the handle.
  void Cancel(Handle& handle);
  // Gives a waiting timer a new delay from now; false when it no longer waits.
  bool Reset(Handle handle, Clock::Duration delay);
  bool Waiting(Handle handle) const;

  // Until the next timer is due, at most a second.
  Clock::Duration WaitTime() const;
  // Fires every timer due now, earliest first; timers created meanwhile wait for the next run.
  void RunDue();
  size_t size() const { return waiting_; }

 private:
  struct Slot {
    uint32_t generation = 0;
    bool waiting = false;
    Clock::TimePoint deadline;
    Callback callback;
  };

  Slot* Find(Handle handle);
  const Slot* Find(Handle handle) const;

  Clock& clock_;
  std::vector<Slot> slots_;
  std::vector<uint32_t> free_;
  size_t waiting_ = 0;
};

}  // namespace velmora
