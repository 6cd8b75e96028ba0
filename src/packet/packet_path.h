#pragma once

#include <cstdint>
#include <functional>

#include "support/shared_value.h"

namespace velmora {

class Log;
class NetworkTables;
class PacketOutput;
class TrafficStatistics;
struct StatusCounters;

// The settings a source reads once per service start.
struct SourceSettings {
  bool dvb = true;  // `TypeChannel` is exactly "DVB"
  bool traffic_control = false;
  int64_t traffic_limit = 0;  // bytes per console interval
};

// What every source of the packet path shares: the tables it resolves with, the counters and
// statistics it counts into and the output it hands datagrams to. Owned by the router; source
// threads use it concurrently.
struct PacketPath {
  Log& log;
  const NetworkTables& tables;
  StatusCounters& counters;
  TrafficStatistics& statistics;
  PacketOutput& output;
  const SharedNumber<int32_t>& running;  // the service's running flag
  std::function<SourceSettings()> settings;
};

}  // namespace velmora
