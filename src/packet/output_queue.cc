#include "packet/output_queue.h"

#include <algorithm>
#include <utility>

namespace velmora {

OutputQueue::OutputQueue() : slots_(kSlots * kSlotSize) {}

size_t OutputQueue::Push(Datagrams datagrams) {
  std::unique_lock lock(mutex_);
  size_t taken = 0;
  bool added = false;
  for (const std::span<const uint8_t> datagram : datagrams) {
    if (stopped_) break;
    if (datagram.size() <= kSlotSize) {
      if (count_ == kSlots) {
        if (std::exchange(added, false)) not_empty_.notify_one();
        not_full_.wait(lock, [this] { return count_ < kSlots || stopped_; });
        if (stopped_) break;
      }
      const size_t slot = (head_ + count_) % kSlots;
      std::copy(datagram.begin(), datagram.end(), slots_.begin() + slot * kSlotSize);
      lengths_[slot] = static_cast<uint16_t>(datagram.size());
      ++count_;
      added = true;
    } else {
      CountDropped();
    }
    ++taken;
  }
  if (added) not_empty_.notify_one();
  return taken;
}

OutputQueue::Datagrams OutputQueue::Front() {
  std::unique_lock lock(mutex_);
  not_empty_.wait(lock, [this] { return ReadyLocked(); });
  return FrontLocked();
}

OutputQueue::Datagrams OutputQueue::FrontBefore(Clock& clock, Clock::TimePoint deadline) {
  std::unique_lock lock(mutex_);
  clock.WaitUntil(lock, not_empty_, deadline, [this] { return ReadyLocked(); });
  return FrontLocked();
}

OutputQueue::Datagrams OutputQueue::FrontLocked() {
  // Pushes fill only the free slots, so the views stay valid without the lock until Release.
  taken_ = std::min(count_, front_.size());
  for (size_t i = 0; i < taken_; ++i) {
    const size_t slot = (head_ + i) % kSlots;
    front_[i] = {slots_.data() + slot * kSlotSize, lengths_[slot]};
  }
  return {front_.data(), taken_};
}

void OutputQueue::Release() {
  std::lock_guard lock(mutex_);
  head_ = (head_ + taken_) % kSlots;
  count_ -= taken_;
  taken_ = 0;
  not_full_.notify_all();
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
  taken_ = 0;
}

size_t OutputQueue::size() const {
  std::lock_guard lock(mutex_);
  return count_;
}

}  // namespace velmora
