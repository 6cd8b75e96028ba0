#include "support/timer_service.h"

#include <algorithm>

namespace velmora {

TimerService::Handle TimerService::Create(Clock::Duration delay, Callback callback) {
  uint32_t slot;
  if (free_.empty()) {
    slot = static_cast<uint32_t>(slots_.size());
    slots_.emplace_back();
  } else {
    slot = free_.back();
    free_.pop_back();
  }
  Slot& s = slots_[slot];
  if (++s.generation == 0) s.generation = 1;
  s.waiting = true;
  s.deadline = clock_.Now() + delay;
  s.callback = std::move(callback);
  ++waiting_;
  return {slot, s.generation};
}

TimerService::Slot* TimerService::Find(Handle handle) {
  if (!handle || handle.slot >= slots_.size()) return nullptr;
  Slot& s = slots_[handle.slot];
  return s.waiting && s.generation == handle.generation ? &s : nullptr;
}

const TimerService::Slot* TimerService::Find(Handle handle) const {
  return const_cast<TimerService*>(this)->Find(handle);
}

void TimerService::Cancel(Handle& handle) {
  if (Slot* s = Find(handle)) {
    s->waiting = false;
    s->callback = nullptr;
    free_.push_back(handle.slot);
    --waiting_;
  }
  handle = {};
}

bool TimerService::Reset(Handle handle, Clock::Duration delay) {
  Slot* s = Find(handle);
  if (s) s->deadline = clock_.Now() + delay;
  return s != nullptr;
}

bool TimerService::Waiting(Handle handle) const {
  return Find(handle) != nullptr;
}

Clock::Duration TimerService::WaitTime() const {
  Clock::Duration wait = kMaxWait;
  const Clock::TimePoint now = clock_.Now();
  for (const Slot& s : slots_) {
    if (s.waiting) wait = std::min(wait, std::max<Clock::Duration>(s.deadline - now, {}));
  }
  return wait;
}

void TimerService::RunDue() {
  const Clock::TimePoint now = clock_.Now();
  std::vector<std::pair<Clock::TimePoint, Handle>> due;
  for (uint32_t i = 0; i < slots_.size(); ++i) {
    const Slot& s = slots_[i];
    if (s.waiting && s.deadline - now < kSlack) due.push_back({s.deadline, {i, s.generation}});
  }
  std::sort(due.begin(), due.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& [deadline, handle] : due) {
    Slot* s = Find(handle);
    // Cancelled or reset by an earlier callback of this run.
    if (!s || s->deadline - now >= kSlack) continue;
    Callback callback = std::move(s->callback);
    Cancel(handle);
    callback();
  }
}

}  // namespace velmora
