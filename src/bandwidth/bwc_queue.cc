#include "bandwidth/bwc_queue.h"

namespace velmora::TessaroBWControl {

BWCQueue::BWCQueue(const BWCProfile& profile, uint32_t buffer_ms, Clock::TimePoint now)
    : meter_(now) {
  SetProfile(profile, buffer_ms);
}

void BWCQueue::SetProfile(const BWCProfile& profile, uint32_t buffer_ms) {
  profile_ = profile;
  capacity_ = uint64_t{profile.maximum} * buffer_ms / 8000;
  priority_offset_ = uint64_t{profile.summary} * 1000 / kRateCeiling;
}

bool BWCQueue::Add(std::vector<uint8_t> datagram) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (queued_bytes_ >= capacity_) {
    dropped_ = true;
    return false;
  }
  queued_bytes_ += datagram.size();
  if (packets_.empty()) oldest_length_.store(datagram.size(), std::memory_order_release);
  packets_.push_back(std::move(datagram));
  return true;
}

std::vector<uint8_t> BWCQueue::Take(Clock::TimePoint now) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (packets_.empty()) return {};
  std::vector<uint8_t> datagram = std::move(packets_.front());
  packets_.pop_front();
  queued_bytes_ -= datagram.size();
  oldest_length_.store(packets_.empty() ? 0 : packets_.front().size(), std::memory_order_release);
  meter_.Record(datagram.size(), now);
  window_.until = Clock::TimePoint::min();
  return datagram;
}

uint64_t BWCQueue::Priority(Clock::TimePoint now) const {
  const size_t length = OldestLength();
  if (length == 0) return kMayNotSend;
  if (now > window_.until) window_ = meter_.WindowAt(now);
  const uint64_t rate = window_.RateWith(length, now);
  if (rate >= kRateCeiling) return kMayNotSend;
  if (rate < profile_.guarantee) return rate * 10'000'000 / profile_.guarantee + priority_offset_;
  if (rate >= profile_.maximum) return kMayNotSend;
  return rate * 10'000'000 / profile_.maximum + priority_offset_ + 10'000'000;
}

uint64_t BWCQueue::queued_bytes() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return queued_bytes_;
}

size_t BWCQueue::queued_packets() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return packets_.size();
}

bool BWCQueue::TakeDropped() {
  std::lock_guard<std::mutex> guard(mutex_);
  const bool dropped = dropped_;
  dropped_ = false;
  if (dropped) dropped_since_reset_ = true;
  return dropped;
}

}  // namespace velmora::TessaroBWControl
