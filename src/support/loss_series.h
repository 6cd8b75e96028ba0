#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "support/clock.h"

namespace velmora {

class Log;

// The log lines of one kind of lost datagram: the first loss is logged at once, later ones at
// most one line a second with the count since the previous line, and a count that no later loss
// carries is logged once a second has passed (Tick) or when the losses end (Flush), so that the
// counts logged add up to the datagrams lost. A line reads the context of a loss, the count, then
// `what`. The context is described only when a line may carry it: for the loss that starts a
// count and for one logged at once, so that a flood of losses costs no text per datagram. Not
// locked: its owner calls it under its own lock.
class LossSeries {
 public:
  LossSeries(Log& log, std::string what) : log_(log), what_(std::move(what)) {}

  // One datagram lost; `describe()` gives its context ("10.0.0.5 - Not configured.; ").
  template <typename Describe>
  void Count(Clock::TimePoint now, const Describe& describe) {
    ++total_;
    if (pending_++ == 0 || LineDue(now)) context_ = describe();
    Tick(now);
  }
  // Logs the count not yet logged once the second since the last line has passed.
  void Tick(Clock::TimePoint now);
  // Logs the count not yet logged now.
  void Flush(Clock::TimePoint now);
  // When the count not yet logged is due; none while every loss is logged.
  std::optional<Clock::TimePoint> due() const;
  uint64_t total() const { return total_; }

 private:
  bool LineDue(Clock::TimePoint now) const;
  void Write(Clock::TimePoint now);

  Log& log_;
  std::string what_;
  std::string context_;
  uint64_t total_ = 0;
  uint64_t pending_ = 0;
  std::optional<Clock::TimePoint> last_line_;
};

}  // namespace velmora
