#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>

#include "inserter_sink/sink_decoder.h"

namespace velmora {

// The sink's counts: per PID the datagrams and bytes received, in total and since the last
// report, and the malformed datagrams per defect. One thread owns it.
class PidSummary {
 public:
  void Add(const SinkDatagram& datagram, size_t length);
  // The table of every PID seen, with the rate since the previous report over `interval`; then
  // the malformed counts. Starts a new interval.
  std::string Report(std::chrono::duration<double> interval);

  uint64_t datagrams() const { return datagrams_; }
  uint64_t malformed() const { return malformed_; }

 private:
  struct PidCounts {
    uint64_t datagrams = 0, bytes = 0;
    uint64_t interval_bytes = 0;
  };
  std::map<uint16_t, PidCounts> pids_;
  std::array<uint64_t, kSinkDefects> defects_{};
  uint64_t datagrams_ = 0;
  uint64_t malformed_ = 0;
};

}  // namespace velmora
