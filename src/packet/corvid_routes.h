#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "packet/adapter_routes.h"
#include "packet/route_state_file.h"
#include "platform/route_table.h"
#include "support/shared_value.h"
#include "tables/route_hooks.h"

namespace velmora {

class FileSystem;
class Log;
class NetworkTables;
class OperatorPrompt;

// What route management reads of the settings; the numbers are read at each use.
struct CorvidRouteSettings {
  std::string adapter_description;             // the interface alias the adapter is found by
  const SharedNumber<int32_t>& default_route;  // CorvidDefaultRoute
  const SharedNumber<uint32_t>& inserter_ip;   // network order
  std::string state_file = kRouteStateFile;
};

// Routes the system's traffic for the configured subnets into the virtual adapter (a TAP
// device): the service start's probe finds the adapter by its alias and adds on-link routes
// through it (one per subnet, or a default route that replaces the system's own, whose rows are
// first saved to the state file), the stop removes them and puts the system's routes back, and
// the table hooks keep the routes and the adapter's neighbour cache in step while the service
// runs. Every route it adds carries kVelmoraRouteProtocol, and only such routes are ever
// deleted, apart from the system's default routes it replaces; saved routes that a stop cannot
// put back stay in the state file, for the recovery or the next replacement to put back. The
// control thread calls the probe, the removal and the recovery; any thread calls the hooks, which
// run in order on the object's own worker thread and are not waited for. One mutex keeps the
// worker, the probe and the removal apart; message boxes wait until it is free.
class CorvidRoutes final : public AdapterRoutes, public RouteHooks {
 public:
  CorvidRoutes(Log& log, OperatorPrompt& prompt, FileSystem& files, const NetworkTables& tables,
               CorvidRouteSettings settings);
  ~CorvidRoutes() override;
  CorvidRoutes(const CorvidRoutes&) = delete;
  CorvidRoutes& operator=(const CorvidRoutes&) = delete;

  // At process start-up: deletes the routes an earlier run left behind and, when that run had
  // replaced the default routes and the system has none now, puts the saved ones back; those
  // that cannot be put back stay in the state file for the next start.
  void RecoverCorvidRoutes();

  bool ProbeCorvidAdapter() override;
  void RemoveCorvidRoutes() override;

  void AddSubnetRoute(uint32_t address, uint32_t mask) override;
  void DeleteSubnetRoute(uint32_t address) override;
  void DropArpEntry(const std::string& address_text) override;

  // Returns once every hook asked before the call has run.
  void WaitForHooks();

  // The adapter's address as "a.b.c.d" after a successful probe; empty before.
  std::string adapter_address_text() const { return address_text_.get(); }

 private:
  // What the probe found and did; reset at the removal.
  struct RunState {
    bool probed = false;
    uint32_t adapter_index = 0;
    std::vector<uint8_t> hardware_address;
    uint32_t adapter_address = 0xffffffff;
    bool subnet_routes = false;
    std::vector<SavedRoute> saved_defaults;  // with their interface indexes
    std::optional<RouteRow> inserter_route;
  };
  using Hook = std::function<void(RouteTable&)>;

  // The probe and the removal, with the state mutex held.
  bool SetRoutes();
  void RemoveRoutes();
  bool FindAdapter(RouteTable& table);
  void ReplaceDefaultRoutes(RouteTable& table);
  // The system's default routes that the adapter's default route replaces, with their names;
  // nullopt when one of them has a path that cannot be saved.
  std::optional<std::vector<SavedRoute>> ReplaceableDefaults(RouteTable& table);
  // The routes of the state file: those that an earlier stop could not put back.
  std::vector<SavedRoute> UnrestoredRoutes();
  // Deletes the system's default routes, warning when one of them stays.
  void DeleteSystemDefaults(RouteTable& table, const std::vector<SavedRoute>& routes);
  // A host route to the inserter through the gateway that reaches it now, when one does; false
  // when that route was needed and refused.
  bool AddInserterRoute(RouteTable& table);
  void AddSubnetRoutes(RouteTable& table);
  // 0, or the errno of the refused route.
  int AddAdapterRoute(RouteTable& table, uint32_t address, uint32_t mask);
  RouteRow AdapterRoute(uint32_t destination, uint8_t prefix_length) const;
  bool IsOwnRoute(const RouteRow& row) const;
  // Deletes the route and logs the outcome; false when it failed.
  bool DeleteReported(RouteTable& table, const RouteRow& row);
  // Deletes every route with the router's protocol number.
  void DeleteLeftoverRoutes(RouteTable& table);
  // Adds the routes back on their interfaces, logging each restored one at `level`; returns
  // those that could not be.
  std::vector<SavedRoute> RestoreSavedRoutes(RouteTable& table,
                                             const std::vector<SavedRoute>& routes, int level);
  // Leaves the state file with the routes not restored, or removes it when there are none;
  // false, logged, when some are left.
  bool KeepForTheNextStart(const std::vector<SavedRoute>& unrestored);
  // Notes a message box for the operator, shown once the state mutex is released.
  void Warn(const std::string& text);
  // Releases the mutex that `lock` holds, then shows the noted boxes.
  void ShowWarnings(std::unique_lock<std::mutex>& lock);

  void Post(Hook hook);
  void RunHooks();

  Log& log_;
  OperatorPrompt& prompt_;
  FileSystem& files_;
  const NetworkTables& tables_;
  const CorvidRouteSettings settings_;
  SharedText address_text_;

  std::mutex state_mutex_;  // guards run_ and every change of the system's routes
  RunState run_;
  std::vector<std::string> warnings_;  // boxes not yet shown

  std::mutex hooks_mutex_;
  std::condition_variable hooks_changed_;
  std::deque<Hook> hooks_;
  uint64_t hooks_posted_ = 0;
  uint64_t hooks_done_ = 0;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace velmora
