#include "inserter_sink/pid_summary.h"

#include <cinttypes>
#include <cstdio>

namespace velmora {

void PidSummary::Add(const SinkDatagram& datagram, size_t length) {
  ++datagrams_;
  if (datagram.defect != SinkDefect::kNone) {
    ++malformed_;
    ++defects_[static_cast<size_t>(datagram.defect)];
    return;
  }
  PidCounts& counts = pids_[datagram.pid];
  ++counts.datagrams;
  counts.bytes += length;
  counts.interval_bytes += length;
}

std::string PidSummary::Report(std::chrono::duration<double> interval) {
  std::string text = "PID     datagrams        bytes   kbit/s\n";
  char line[128];
  for (auto& [pid, counts] : pids_) {
    const double seconds = interval.count() > 0 ? interval.count() : 1;
    std::snprintf(line, sizeof line, "0x%04x %10" PRIu64 " %12" PRIu64 " %8.1f\n", pid,
                  counts.datagrams, counts.bytes, counts.interval_bytes * 8 / 1000.0 / seconds);
    text += line;
    counts.interval_bytes = 0;
  }
  std::snprintf(line, sizeof line, "total  %10" PRIu64 " datagrams, %" PRIu64 " malformed\n",
                datagrams_, malformed_);
  text += line;
  for (int i = 1; i < kSinkDefects; ++i) {
    if (defects_[i] == 0) continue;
    std::snprintf(line, sizeof line, "  %" PRIu64 " %s\n", defects_[i],
                  SinkDefectName(static_cast<SinkDefect>(i)).data());
    text += line;
  }
  return text;
}

}  // namespace velmora
