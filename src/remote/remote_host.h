#pragma once

#include <cstdint>

namespace velmora {

class L2tpPeerList;
class L2tpUserList;
class NetworkTables;
class TableEditor;
class TrafficStatistics;

// The stream counters that the remote control reports: packet counts now, rates (kbit/s) from
// the status refresh before.
struct StreamFigures {
  uint32_t unicast_packets = 0;
  uint32_t unicast_kbps = 0;
  uint32_t unicast_peak_kbps = 0;
  uint32_t multicast_packets = 0;
  uint32_t multicast_frames = 0;
  uint32_t multicast_kbps = 0;
  uint32_t multicast_peak_kbps = 0;
};

// What the remote control asks of the router: the service commands, which run on the control
// thread, and the figures of the status panel. The router implements it; tests fake it. Called
// from the session threads.
class RemoteHost {
 public:
  virtual ~RemoteHost() = default;
  virtual bool ServiceRunning() = 0;
  // Starts the service unless it runs, deciding on the control thread and returning once it has
  // handled the request; true when the service was running already.
  virtual bool StartService() = 0;
  // Stops the service if it runs, likewise; true when it was running.
  virtual bool StopService() = 0;
  // The menu's counter reset; returns once it is done.
  virtual void ResetCounters() = 0;
  // Ends the program without a question: posts the request and returns at once.
  virtual void Kill() = 0;
  virtual StreamFigures Streams() = 0;
};

// The shared tables and lists that the commands read and change.
struct RemoteData {
  NetworkTables& tables;
  TableEditor& editor;
  TrafficStatistics& statistics;
  L2tpUserList& users;
  L2tpPeerList& peers;
};

}  // namespace velmora
