#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "bandwidth/bwc_profile.h"
#include "bandwidth/rate_meter.h"

namespace velmora::TessaroBWControl {

// The waiting datagrams of one destination address, with a copy of its profile, a meter of what
// left it, and its room: the profile's maximum over the buffering time. Owned by the controller.
// Source threads add under the controller's shared lock, the sender thread takes and reads the
// priority under it too: the queue's own lock orders the datagrams between them, and the length
// of the oldest datagram is kept apart so that choosing the next queue reads it without a lock.
// Priority keeps the meter's window between recordings, so that a choice among many queues
// reads each meter only when its window has moved; only the thread that takes may call it. The
// profile copy changes only under the controller's exclusive lock.
class BWCQueue {
 public:
  // The priority of a queue that may not send now; smaller values send first.
  static constexpr uint64_t kMayNotSend = 20'001'000;
  static constexpr uint64_t kRateCeiling = 15'000'000;

  BWCQueue(const BWCProfile& profile, uint32_t buffer_ms, Clock::TimePoint now);

  // Replaces the profile copy and recomputes capacity and priority offset; packets stay.
  void SetProfile(const BWCProfile& profile, uint32_t buffer_ms);
  // False (and the dropped flag set) when the queue was already at or above its capacity.
  bool Add(std::vector<uint8_t> datagram);
  // Takes the oldest datagram; empty when none waits.
  std::vector<uint8_t> Take(Clock::TimePoint now);
  uint64_t Priority(Clock::TimePoint now) const;
  // The length of the oldest datagram; 0 when none waits.
  size_t OldestLength() const { return oldest_length_.load(std::memory_order_acquire); }

  BWCProfile& profile() { return profile_; }
  const BWCProfile& profile() const { return profile_; }
  uint64_t capacity() const { return capacity_; }
  uint64_t priority_offset() const { return priority_offset_; }
  uint64_t queued_bytes() const;
  size_t queued_packets() const;
  const BWCRateMeter& meter() const { return meter_; }

  // The dropped flag, cleared as it is read; it then stays in the flag since the last reset.
  bool TakeDropped();
  bool dropped_since_reset() const { return dropped_since_reset_; }
  void ResetDropped() { dropped_since_reset_ = false; }

 private:
  BWCProfile profile_;
  mutable std::mutex mutex_;  // the datagrams, their bytes and the dropped flag
  std::deque<std::vector<uint8_t>> packets_;
  uint64_t queued_bytes_ = 0;
  std::atomic<size_t> oldest_length_{0};
  BWCRateMeter meter_;
  // The meter's window as the sender thread last read it; a recording makes it stale at once.
  mutable BWCRateMeter::Window window_{.until = Clock::TimePoint::min()};
  uint64_t capacity_ = 0;
  uint64_t priority_offset_ = 0;
  bool dropped_ = false;
  bool dropped_since_reset_ = false;
};

}  // namespace velmora::TessaroBWControl
