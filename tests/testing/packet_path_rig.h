#pragma once

#include <atomic>
#include <cstdint>

#include "bandwidth/bwc_controller.h"
#include "packet/output_queue.h"
#include "packet/packet_output.h"
#include "packet/packet_path.h"
#include "platform/file_system.h"
#include "stats/status_counters.h"
#include "stats/traffic_statistics.h"
#include "support/log.h"
#include "tables/network_tables.h"
#include "testing/list_console.h"

namespace velmora::testing {

// What the sources of the packet path share, for a test of one source: a log whose lines the
// console keeps, the tables, the counters, statistics in memory, the output queue behind the
// hand-over (bandwidth management off), the running flag and the settings of a run. Simulated
// time. The test's thread sets it up; the source's threads use it as they would the router's.
struct PacketPathRig {
  PacketPathRig() {
    log.SetConsoleTarget(&console);
    statistics.SetFile("stat.log");
  }

  Log log;
  ListConsole console;
  SimulatedClock clock;
  MemoryFileSystem files;
  NetworkTables tables;
  StatusCounters counters;
  TrafficStatistics statistics{files, clock, log, 0};
  OutputQueue queue;
  TessaroBWControl::BWCController bandwidth{clock, log};
  std::atomic<bool> bandwidth_running{false};
  PacketOutput output{queue, bandwidth, bandwidth_running};
  SharedNumber<int32_t> running{1};
  SourceSettings settings;
  PacketPath path{log, tables, counters, statistics, output, running, [this] { return settings; }};
};

}  // namespace velmora::testing
