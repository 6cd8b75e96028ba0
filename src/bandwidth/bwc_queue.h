#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "bandwidth/bwc_profile.h"
#include "bandwidth/rate_meter.h"

namespace velmora::TessaroBWControl {

// The waiting datagrams of one destination address, with a copy of its profile, a meter of what
// left it, and its room: the profile's maximum over the buffering time. Owned by the controller
// and used only under the controller's lock.
class BWCQueue {
 public:
  // The priority of a queue that may not send now; smaller values send first.
  static constexpr uint64_t kMayNotSend = 20'001'000;
  static constexpr uint64_t kRateCeiling = 15'000'000;

  BWCQueue(uint32_t address, const BWCProfile& profile, uint32_t buffer_ms, Clock::TimePoint now);

  // Replaces the profile copy and recomputes capacity and priority offset; packets stay.
  void SetProfile(const BWCProfile& profile, uint32_t buffer_ms);
  // False (and the dropped flag set) when the queue was already at or above its capacity.
  bool Add(std::vector<uint8_t> datagram);
  // Takes the oldest datagram; the queue must not be empty.
  std::vector<uint8_t> Take(Clock::TimePoint now);
  uint64_t Priority(Clock::TimePoint now) const;
  size_t OldestLength() const { return packets_.front().size(); }

  uint32_t address() const { return address_; }
  BWCProfile& profile() { return profile_; }
  const BWCProfile& profile() const { return profile_; }
  uint64_t capacity() const { return capacity_; }
  uint64_t priority_offset() const { return priority_offset_; }
  uint64_t queued_bytes() const { return queued_bytes_; }
  size_t queued_packets() const { return packets_.size(); }
  const BWCRateMeter& meter() const { return meter_; }

  // The dropped flag, cleared as it is read; it then stays in the flag since the last reset.
  bool TakeDropped();
  bool dropped_since_reset() const { return dropped_since_reset_; }
  void ResetDropped() { dropped_since_reset_ = false; }

 private:
  BWCProfile profile_;
  uint32_t address_;
  std::deque<std::vector<uint8_t>> packets_;
  uint64_t queued_bytes_ = 0;
  BWCRateMeter meter_;
  uint64_t capacity_ = 0;
  uint64_t priority_offset_ = 0;
  bool dropped_ = false;
  bool dropped_since_reset_ = false;
};

}  // namespace velmora::TessaroBWControl
