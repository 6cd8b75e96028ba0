#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "support/clock.h"

namespace velmora {

// The first-in first-out ring between the source threads and the sending thread: 128 slots of
// up to 4096 bytes, allocated once. A push waits while the ring is full (the only back-pressure
// towards the sources) and a pop while it is empty; both waits are on conditions checked under
// the lock, so Stop always ends them and no datagram or wake-up is lost. The queue takes
// datagrams only from Resume (a sending thread's start) to Stop, so nothing pushed while the
// service is stopped waits for the next run. Any thread may call.
class OutputQueue {
 public:
  static constexpr size_t kSlots = 128;
  static constexpr size_t kSlotSize = 4096;

  OutputQueue();

  // Stores a copy of the datagram, waiting for a free slot; false when the queue is stopped or
  // stopped before there was one. A datagram over 4096 bytes is dropped and, on a queue that is
  // not stopped, the push counts as done.
  bool Push(std::span<const uint8_t> datagram);
  // The oldest datagram, copied into `out` (at most 4096 bytes), waiting until there is one; none
  // when the queue is stopped and empty.
  std::optional<size_t> Pop(std::span<uint8_t, kSlotSize> out);
  // As Pop, waiting on `clock` until `deadline` at most: none also when the deadline came first.
  std::optional<size_t> PopBefore(std::span<uint8_t, kSlotSize> out, Clock& clock,
                                  Clock::TimePoint deadline);
  // The service stop: every wait ends now, no new one begins and no push is taken until Resume.
  // What is queued still pops.
  void Stop();
  // The sending thread's start: an empty queue that takes pushes again.
  void Resume();
  size_t size() const;

 private:
  // With the lock held: the oldest datagram into `out`, if there is one.
  std::optional<size_t> TakeLocked(std::span<uint8_t, kSlotSize> out);
  bool ReadyLocked() const { return count_ > 0 || stopped_; }

  mutable std::mutex mutex_;
  std::condition_variable not_empty_;
  std::condition_variable not_full_;
  std::vector<uint8_t> slots_;  // kSlots * kSlotSize bytes
  std::array<uint16_t, kSlots> lengths_{};
  size_t head_ = 0;  // the oldest datagram
  size_t count_ = 0;
  bool stopped_ = true;
};

}  // namespace velmora
