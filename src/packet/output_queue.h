#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "platform/datagram_batch.h"
#include "support/clock.h"

namespace velmora {

// The first-in first-out ring between the source threads and the sending thread: 128 slots of
// up to 4096 bytes, allocated once. Sources push a batch at a time under one lock with one
// wake-up; a push waits while the ring is full (the only back-pressure towards the sources). The
// sending thread takes what is waiting in place, sends it from the slots and then releases them.
// Every wait is on a condition checked under the lock, so Stop always ends it and no datagram or
// wake-up is lost. The queue takes datagrams only from Resume (a sending thread's start) to Stop,
// so nothing pushed while the service is stopped waits for the next run. Any thread may push;
// one thread at a time (the sending thread) takes and releases.
class OutputQueue {
 public:
  static constexpr size_t kSlots = 128;
  static constexpr size_t kSlotSize = 4096;
  using Datagrams = std::span<const std::span<const uint8_t>>;

  OutputQueue();

  // Copies the datagrams in, in order, waiting for free slots as needed: how many were taken,
  // fewer than all when the queue is stopped or stopped meanwhile. A datagram over 4096 bytes is
  // dropped and, on a queue that is not stopped, counts as taken.
  size_t Push(Datagrams datagrams);
  // The oldest datagrams waiting (up to kDatagramBatch), waiting until there is one; none when the
  // queue is stopped and empty. They stay valid, in their slots, until Release.
  Datagrams Front();
  // As Front, waiting on `clock` until `deadline` at most: none also when the deadline came first.
  Datagrams FrontBefore(Clock& clock, Clock::TimePoint deadline);
  // Frees the slots of the datagrams the last Front gave.
  void Release();
  // The service stop: every wait ends now, no new one begins and no push is taken until Resume.
  // What is queued can still be taken.
  void Stop();
  // The sending thread's start: an empty queue that takes pushes again.
  void Resume();
  size_t size() const;
  // Datagrams dropped on their way out: oversized pushes and the sending thread's failed sends.
  // Atomic, so any thread may read it without the lock.
  void CountDropped() { dropped_.fetch_add(1, std::memory_order_relaxed); }
  uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  // With the lock held: the views of the oldest datagrams.
  Datagrams FrontLocked();
  bool ReadyLocked() const { return count_ > 0 || stopped_; }

  mutable std::mutex mutex_;
  std::condition_variable not_empty_;
  std::condition_variable not_full_;
  std::vector<uint8_t> slots_;  // kSlots * kSlotSize bytes
  std::array<uint16_t, kSlots> lengths_{};
  size_t head_ = 0;  // the oldest datagram
  size_t count_ = 0;
  bool stopped_ = true;
  std::array<std::span<const uint8_t>, kDatagramBatch> front_;  // the taking thread's
  size_t taken_ = 0;                                            // slots that Front handed out
  std::atomic<uint64_t> dropped_{0};
};

}  // namespace velmora
