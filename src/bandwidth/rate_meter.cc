#include "bandwidth/rate_meter.h"

namespace velmora::TessaroBWControl {

namespace {

constexpr auto kSampleInterval = BWCRateMeter::kPeriod / (BWCRateMeter::kSamples + 1);
constexpr uint64_t kTicksPerSecond = 1'000'000'000;

// bytes over span in bit/s; exact unless the bytes of the span exceed 2 GB, and then saturating.
uint64_t BitsPerSecond(uint64_t bytes, Clock::Duration span) {
  const auto ticks = static_cast<uint64_t>(span.count());
  if (bytes <= UINT64_MAX / 8 / kTicksPerSecond) return bytes * 8 * kTicksPerSecond / ticks;
  const uint64_t seconds = std::max<uint64_t>(ticks / kTicksPerSecond, 1);
  return bytes / seconds > UINT64_MAX / 8 ? UINT64_MAX : bytes / seconds * 8;
}

}  // namespace

BWCRateMeter::BWCRateMeter(TimePoint created) : sample_time_(created), base_time_(created) {}

void BWCRateMeter::Record(uint64_t bytes, TimePoint now) {
  std::lock_guard<std::mutex> guard(mutex_);
  total_ += bytes;
  bytes_ += bytes;
  last_record_ = now;
  recorded_ = true;
  TakeSample(now);
}

void BWCRateMeter::TakeSample(TimePoint now) {
  const TimePoint last = history_.empty() ? base_time_ : history_.back().time;
  if (now - last <= kSampleInterval) return;
  sample_time_ = now;
  while (!history_.empty() && now - history_.front().time >= kPeriod) {
    base_time_ = history_.front().time;
    base_bytes_ = history_.front().bytes;
    history_.pop_front();
  }
  if (history_.size() >= static_cast<size_t>(kSamples)) {
    base_time_ = history_.front().time;
    base_bytes_ = history_.front().bytes;
    history_.pop_front();
  }
  history_.push_back({sample_time_, bytes_});
}

BWCRateMeter::Window BWCRateMeter::Locate(TimePoint now) const {
  // The base moves on through the history while it lies more than a period back; the newest
  // sample stays the base however old it is, so that the rate decays while nothing is recorded.
  TimePoint base_time = base_time_;
  uint64_t base_bytes = base_bytes_;
  auto next = history_.begin();
  for (; next != history_.end() && now - base_time > kPeriod; ++next) {
    base_time = next->time;
    base_bytes = next->bytes;
  }
  const TimePoint until = next == history_.end() ? TimePoint::max() : base_time + kPeriod;
  return {base_time, bytes_ - base_bytes, until};
}

uint64_t BWCRateMeter::RateOver(uint64_t bytes, TimePoint base, TimePoint now) {
  const Clock::Duration span = now - base;
  if (span.count() <= 0) return kUnmeasurable;
  return BitsPerSecond(bytes, span);
}

BWCRateMeter::Window BWCRateMeter::WindowAt(TimePoint now) const {
  std::lock_guard<std::mutex> guard(mutex_);
  return Locate(now);
}

uint64_t BWCRateMeter::CurrentRate(TimePoint now) const {
  std::lock_guard<std::mutex> guard(mutex_);
  // Nothing recorded over the last period: nothing flows now.
  if (Idle(now)) return 0;
  const Window window = Locate(now);
  const uint64_t rate = window.RateWith(0, now);
  return rate == kUnmeasurable ? 0 : rate;
}

uint64_t BWCRateMeter::total_bytes() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return total_;
}

}  // namespace velmora::TessaroBWControl
