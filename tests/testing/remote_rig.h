#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/address_text.h"
#include "platform/file_system.h"
#include "remote/command_interpreter.h"
#include "stats/local_time.h"
#include "stats/traffic_statistics.h"
#include "support/clock.h"
#include "support/log.h"
#include "tables/l2tp_peer_list.h"
#include "tables/l2tp_user_list.h"
#include "tables/network_tables.h"
#include "tables/table_editor.h"
#include "testing/list_console.h"

namespace velmora::testing {

// A router as the remote control sees it: the service flag and the counters, with the requests
// it received counted. Any thread may call.
class FakeRemoteHost final : public RemoteHost {
 public:
  bool ServiceRunning() override { return running; }
  bool StartService() override { return running.exchange(true); }
  bool StopService() override { return running.exchange(false); }
  void ResetCounters() override { ++resets; }
  void Kill() override { ++kills; }
  StreamFigures Streams() override { return figures; }

  std::atomic<bool> running{false};
  std::atomic<int> resets{0};
  std::atomic<int> kills{0};
  StreamFigures figures;
};

// Remembers the ARP entries and routes that the table changes asked for.
class RecordingRouteHooks final : public RouteHooks {
 public:
  void AddSubnetRoute(uint32_t address, uint32_t) override {
    Add("route " + AddressToDotted(address));
  }
  void DeleteSubnetRoute(uint32_t address) override { Add("unroute " + AddressToDotted(address)); }
  void DropArpEntry(const std::string& address_text) override { Add("arp " + address_text); }
  std::vector<std::string> Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  void Add(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
};

// The remote control's world for tests: real tables, lists and statistics, a fake host, a log
// that keeps its lines, and the interpreter over them.
struct RemoteRig {
  RemoteRig() {
    log.SetConsoleTarget(&console);
    log.Configure({.level = 3});
  }
  ~RemoteRig() { log.SetConsoleTarget(nullptr); }

  SimulatedClock clock;
  MemoryFileSystem files;
  ListConsole console;
  Log log{clock};
  NetworkTables tables;
  RecordingRouteHooks hooks;
  TableEditor editor{tables, hooks, [] { return true; }};
  TrafficStatistics statistics{files, clock, log, *ParseLocalFileTime("07.12.2026", "10:00:00")};
  L2tpUserList users{log};
  L2tpPeerList peers{log};
  FakeRemoteHost host;
  std::atomic<bool> human{false};
  CommandInterpreter interpreter{host, {tables, editor, statistics, users, peers}, human, log};
};

}  // namespace velmora::testing
