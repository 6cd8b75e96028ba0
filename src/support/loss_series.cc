#include "support/loss_series.h"

#include "support/log.h"

namespace velmora {

namespace {

constexpr auto kLinePause = std::chrono::seconds(1);

}  // namespace

bool LossSeries::LineDue(Clock::TimePoint now) const {
  return !last_line_ || now - *last_line_ >= kLinePause;
}

void LossSeries::Tick(Clock::TimePoint now) {
  if (pending_ != 0 && LineDue(now)) Write(now);
}

void LossSeries::Flush(Clock::TimePoint now) {
  if (pending_ != 0) Write(now);
}

std::optional<Clock::TimePoint> LossSeries::due() const {
  if (pending_ == 0) return std::nullopt;
  if (!last_line_) return Clock::TimePoint{};
  return *last_line_ + kLinePause;
}

void LossSeries::Write(Clock::TimePoint now) {
  log_ << context_ << static_cast<int32_t>(pending_) << what_ << "\n";
  last_line_ = now;
  pending_ = 0;
}

}  // namespace velmora
