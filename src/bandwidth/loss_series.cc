#include "bandwidth/loss_series.h"

#include "support/log.h"

namespace velmora::TessaroBWControl {

namespace {

constexpr auto kLinePause = std::chrono::seconds(1);

}  // namespace

void LossSeries::Count(std::string context, Clock::TimePoint now) {
  ++total_;
  ++pending_;
  context_ = std::move(context);
  Tick(now);
}

void LossSeries::Tick(Clock::TimePoint now) {
  if (pending_ == 0 || (last_line_ && now - *last_line_ < kLinePause)) return;
  Write(now);
}

void LossSeries::Flush(Clock::TimePoint now) {
  if (pending_ != 0) Write(now);
}

void LossSeries::Write(Clock::TimePoint now) {
  log_ << context_ << static_cast<int32_t>(pending_) << what_ << "\n";
  last_line_ = now;
  pending_ = 0;
}

}  // namespace velmora::TessaroBWControl
