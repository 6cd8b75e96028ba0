#include "packet/output_queue.h"

#include <algorithm>

namespace velmora {

OutputQueue::OutputQueue() : slots_(kSlots * kSlotSize) {}

bool OutputQueue::Push(std::span<const uint8_t> datagram) {
  std::unique_lock lock(mutex_);
  if (stopped_) return false;
  if (datagram.size() > kSlotSize) return true;
  not_full_.wait(lock, [this] { return count_ < kSlots || stopped_; });
  if (stopped_) return false;
  const size_t slot = (head_ + count_) % kSlots;
  std::copy(datagram.begin(), datagram.end(), slots_.begin() + slot * kSlotSize);
  lengths_[slot] = static_cast<uint16_t>(datagram.size());
  ++count_;
  not_empty_.notify_one();
  return true;
}

std::optional<size_t> OutputQueue::Pop(std::span<uint8_t, kSlotSize> out) {
  std::unique_lock lock(mutex_);
  not_empty_.wait(lock, [this] { return ReadyLocked(); });
  return TakeLocked(out);
}

std::optional<size_t> OutputQueue::PopBefore(std::span<uint8_t, kSlotSize> out, Clock& clock,
                                             Clock::TimePoint deadline) {
  std::unique_lock lock(mutex_);
  clock.WaitUntil(lock, not_empty_, deadline, [this] { return ReadyLocked(); });
  return TakeLocked(out);
}

std::optional<size_t> OutputQueue::TakeLocked(std::span<uint8_t, kSlotSize> out) {
  if (count_ == 0) return std::nullopt;
  const size_t length = lengths_[head_];
  const auto first = slots_.begin() + head_ * kSlotSize;
  std::copy(first, first + length, out.begin());
  head_ = (head_ + 1) % kSlots;
  --count_;
  not_full_.notify_one();
  return length;
}

void OutputQueue::Stop() {
  std::lock_guard lock(mutex_);
  stopped_ = true;
  not_empty_.notify_all();
  not_full_.notify_all();
}

void OutputQueue::Resume() {
  std::lock_guard lock(mutex_);
  stopped_ = false;
  head_ = 0;
  count_ = 0;
}

size_t OutputQueue::size() const {
  std::lock_guard lock(mutex_);
  return count_;
}

}  // namespace velmora
