#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>

#include "support/clock.h"

namespace velmora::TessaroBWControl {

// A sliding-window meter of bytes: 270 ms kept as 5 samples taken at least 45 ms apart, each at a
// recording. Rates are bit/s of the bytes recorded after the window's base over the span from the
// base to now, in integer arithmetic on nanosecond ticks. The base is the oldest sample within the
// period, or the newest sample when all are older: while nothing is recorded the span grows and
// the rate decays, so a flow slower than one datagram a period reads its own rate, and after an
// idle spell the first recording becomes the base at once. Every method takes the meter's own
// lock; any thread may call.
class BWCRateMeter {
 public:
  using TimePoint = Clock::TimePoint;
  static constexpr auto kPeriod = std::chrono::milliseconds(270);
  static constexpr int kSamples = 5;
  // What a rate reads when the span is empty: more than any bandwidth, so nothing is sent.
  static constexpr uint64_t kUnmeasurable = UINT64_MAX;

  explicit BWCRateMeter(TimePoint created);

  void Record(uint64_t bytes, TimePoint now);
  // Where a rate stands at `now`: its base, the bytes recorded after the base, and the last
  // instant at which both still hold if nothing is recorded meanwhile.
  struct Window {
    TimePoint base;
    uint64_t bytes = 0;
    TimePoint until;

    // The rate at `now` if `more` bytes were recorded then.
    uint64_t RateWith(uint64_t more, TimePoint now) const {
      return RateOver(bytes + more, base, now);
    }
  };

  Window WindowAt(TimePoint now) const;
  // The rate of what was recorded; 0 after a period without a recording.
  uint64_t CurrentRate(TimePoint now) const;
  uint64_t total_bytes() const;

 private:
  struct Sample {
    TimePoint time;
    uint64_t bytes;
  };

  // `bytes` over the span from `base` to `now` in bit/s; kUnmeasurable for an empty span.
  static uint64_t RateOver(uint64_t bytes, TimePoint base, TimePoint now);
  bool Idle(TimePoint now) const { return !recorded_ || now - last_record_ >= kPeriod; }
  void TakeSample(TimePoint now);
  Window Locate(TimePoint now) const;

  mutable std::mutex mutex_;
  uint64_t total_ = 0;
  TimePoint sample_time_;    // T
  uint64_t bytes_ = 0;       // B
  TimePoint base_time_;      // T0
  uint64_t base_bytes_ = 0;  // B0
  std::deque<Sample> history_;
  TimePoint last_record_;
  bool recorded_ = false;
};

}  // namespace velmora::TessaroBWControl
