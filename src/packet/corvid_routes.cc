#include "packet/corvid_routes.h"

#include <arpa/inet.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <iterator>
#include <utility>

#include "platform/address_text.h"
#include "platform/file_system.h"
#include "platform/network_links.h"
#include "support/log.h"
#include "support/operator_prompt.h"
#include "tables/network_tables.h"

namespace velmora {
namespace {

constexpr uint32_t kNoAddress = 0xffffffff;
constexpr int kAlways = 0;
constexpr int kVerbose = 3;
constexpr const char* kCannotAddRoute = "Cannot add route to interface...";

bool IsMulticast(uint32_t address) {
  const uint32_t first_byte = ntohl(address) >> 24;
  return first_byte >= 224 && first_byte <= 239;
}

// The length of a mask of leading ones; none for a mask with gaps.
std::optional<uint8_t> PrefixLengthOf(uint32_t mask) {
  const uint32_t host_order = ntohl(mask);
  const int length = std::countl_one(host_order);
  if (length < 32 && (host_order << length) != 0) return std::nullopt;
  return static_cast<uint8_t>(length);
}

std::string Describe(const SavedRoute& route) {
  std::string text =
      AddressToDotted(route.row.destination) + "/" + std::to_string(route.row.prefix_length);
  if (route.row.gateway != 0) text += " via " + AddressToDotted(route.row.gateway);
  if (!route.interface_name.empty()) text += " dev " + route.interface_name;
  for (size_t i = 0; i < route.row.next_hops.size(); ++i) {
    const NextHop& hop = route.row.next_hops[i];
    text += " nexthop";
    if (hop.gateway != 0) text += " via " + AddressToDotted(hop.gateway);
    text += " dev " + route.next_hop_interfaces[i] + " weight " + std::to_string(hop.weight);
  }
  return text + " metric " + std::to_string(route.row.metric);
}

std::string AdapterText(uint32_t address, const std::vector<uint8_t>& hardware_address) {
  std::array<uint8_t, 6> mac{};
  std::copy_n(hardware_address.begin(), std::min(hardware_address.size(), mac.size()), mac.begin());
  char text[96];
  std::snprintf(text, sizeof text, "\nCorvid adapter: IP=%s, MAC=%02X:%02X:%02X:%02X:%02X:%02X\n",
                AddressToDotted(address).c_str(), mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return text;
}

// The name of the interface with `index`: empty for none (0), nullopt for one that is not there.
std::optional<std::string> NameOf(const std::vector<NetworkLink>& links, uint32_t index) {
  if (index == 0) return std::string();
  const auto found = std::find_if(links.begin(), links.end(),
                                  [index](const NetworkLink& link) { return link.index == index; });
  if (found == links.end()) return std::nullopt;
  return found->name;
}

// The index of the interface named `name`: 0 for none (empty), nullopt for one not there.
std::optional<uint32_t> IndexOf(const std::vector<NetworkLink>& links, const std::string& name) {
  if (name.empty()) return 0;
  const auto found = std::find_if(links.begin(), links.end(),
                                  [&name](const NetworkLink& link) { return link.name == name; });
  if (found == links.end()) return std::nullopt;
  return found->index;
}

// The route with the names of its interfaces, for the state file; nullopt when one of them is
// gone.
std::optional<SavedRoute> WithInterfaceNames(const RouteRow& row,
                                             const std::vector<NetworkLink>& links) {
  SavedRoute route{.row = row};
  const std::optional<std::string> name = NameOf(links, row.interface_index);
  if (!name) return std::nullopt;
  route.interface_name = *name;
  for (const NextHop& hop : row.next_hops) {
    const std::optional<std::string> hop_name = NameOf(links, hop.interface_index);
    if (!hop_name) return std::nullopt;
    route.next_hop_interfaces.push_back(*hop_name);
  }
  return route;
}

// The saved route with today's indexes of its interfaces; nullopt when one of them is gone.
std::optional<RouteRow> WithInterfaceIndexes(const SavedRoute& route,
                                             const std::vector<NetworkLink>& links) {
  RouteRow row = route.row;
  const std::optional<uint32_t> index = IndexOf(links, route.interface_name);
  if (!index || route.next_hop_interfaces.size() != row.next_hops.size()) return std::nullopt;
  row.interface_index = *index;
  for (size_t i = 0; i < row.next_hops.size(); ++i) {
    const std::optional<uint32_t> hop_index = IndexOf(links, route.next_hop_interfaces[i]);
    if (!hop_index) return std::nullopt;
    row.next_hops[i].interface_index = *hop_index;
  }
  return row;
}

// RTNH_F_ONLINK when the gateway of `path` is outside its interface's networks.
uint8_t GatewayFlags(RouteTable& table, const RouteRow& path) {
  // A lookup's answer does not say whether its gateway was declared on-link; the gateway is
  // inside the interface's networks when the kernel reaches it directly through that interface.
  const std::optional<RouteRow> to_gateway = table.LookUp(path.gateway);
  const bool direct =
      to_gateway && to_gateway->gateway == 0 && to_gateway->interface_index == path.interface_index;
  return direct ? 0 : RTNH_F_ONLINK;
}

}  // namespace

CorvidRoutes::CorvidRoutes(Log& log, OperatorPrompt& prompt, FileSystem& files,
                           const NetworkTables& tables, CorvidRouteSettings settings)
    : log_(log),
      prompt_(prompt),
      files_(files),
      tables_(tables),
      settings_(std::move(settings)),
      worker_([this] { RunHooks(); }) {}

CorvidRoutes::~CorvidRoutes() {
  {
    std::lock_guard<std::mutex> guard(hooks_mutex_);
    stopping_ = true;
  }
  hooks_changed_.notify_all();
  worker_.join();
}

void CorvidRoutes::RecoverCorvidRoutes() {
  std::lock_guard<std::mutex> guard(state_mutex_);
  RouteTable table;
  DeleteLeftoverRoutes(table);
  const std::optional<std::string> text = files_.ReadFile(settings_.state_file);
  if (!text) return;
  const RouteState state = ParseRouteState(*text);
  for (const RejectedRouteLine& line : state.rejected) {
    log_ << "Route state file " << settings_.state_file << ": line "
         << static_cast<int32_t>(line.number) << " skipped: " << line.text << "\n";
  }
  const std::optional<std::vector<RouteRow>> routes = table.ListRoutes();
  if (!routes) {
    log_ << "Cannot read the route table: the routes in " << settings_.state_file
         << " are kept for the next start.\n";
    return;
  }
  if (std::any_of(routes->begin(), routes->end(), std::mem_fn(&RouteRow::is_default))) {
    log_ << "The system has a default route: the routes saved in " << settings_.state_file
         << " by a run that did not stop are not needed.\n";
  } else {
    log_ << "A run that did not stop had replaced the system's default route: restoring it from "
         << settings_.state_file << ".\n";
    KeepForTheNextStart(RestoreSavedRoutes(table, state.routes, kAlways));
    return;
  }
  files_.RemoveFile(settings_.state_file);
}

bool CorvidRoutes::ProbeCorvidAdapter() {
  std::unique_lock<std::mutex> lock(state_mutex_);
  const bool found = SetRoutes();
  ShowWarnings(lock);
  return found;
}

bool CorvidRoutes::SetRoutes() {
  if (log_.level() >= kVerbose) log_ << "\nCorvid probe...\n";
  RouteTable table;
  if (!FindAdapter(table)) return false;
  if (settings_.default_route != 0) {
    ReplaceDefaultRoutes(table);
  } else {
    AddSubnetRoutes(table);
  }
  if (log_.level() >= kVerbose) {
    log_ << AdapterText(run_.adapter_address, run_.hardware_address);
  }
  address_text_ = AddressToDotted(run_.adapter_address);
  run_.probed = true;
  return true;
}

bool CorvidRoutes::FindAdapter(RouteTable& table) {
  const std::optional<std::vector<NetworkLink>> links = ListNetworkLinks();
  if (!links || links->empty()) return false;
  const std::optional<NetworkLink> adapter =
      FindLinkByDescription(*links, settings_.adapter_description);
  if (!adapter) {
    log_ << "Attention!! Corvid driver is not found.\n";
    return false;
  }
  const std::optional<std::vector<InterfaceAddress>> addresses = table.ListAddresses();
  if (!addresses) return false;
  const auto address = std::find_if(
      addresses->begin(), addresses->end(),
      [&adapter](const InterfaceAddress& row) { return row.interface_index == adapter->index; });
  if (address == addresses->end() || address->address == kNoAddress) return false;
  run_.adapter_index = adapter->index;
  run_.hardware_address = adapter->hardware_address;
  run_.adapter_address = address->address;
  return true;
}

void CorvidRoutes::ReplaceDefaultRoutes(RouteTable& table) {
  const std::optional<std::vector<SavedRoute>> defaults = ReplaceableDefaults(table);
  if (!defaults) {
    log_ << "A default route of the system goes through a next-hop object, a gateway of another "
            "family or an encapsulation, which cannot be saved: the default route is not "
            "replaced.\n";
    Warn(kCannotAddRoute);
    return;
  }
  if (!AddInserterRoute(table)) {
    log_ << "The inserter would not be reachable: the default route is not replaced.\n";
    Warn(kCannotAddRoute);
    return;
  }
  // Routes that an earlier stop could not put back are put back at this one.
  std::vector<SavedRoute> saved = *defaults;
  std::ranges::copy(UnrestoredRoutes(), std::back_inserter(saved));
  if (!saved.empty() &&
      !files_.WriteFileAtomically(settings_.state_file, FormatRouteState(saved))) {
    log_ << "Cannot write " << settings_.state_file << ": the default route is not replaced.\n";
    Warn(kCannotAddRoute);
    return;
  }
  run_.saved_defaults = std::move(saved);
  DeleteSystemDefaults(table, *defaults);
  if (table.AddRoute(AdapterRoute(0, 0)) != 0) Warn(kCannotAddRoute);
}

std::optional<std::vector<SavedRoute>> CorvidRoutes::ReplaceableDefaults(RouteTable& table) {
  const std::optional<std::vector<RouteRow>> routes = table.ListRoutes();
  const std::optional<std::vector<NetworkLink>> links = ListNetworkLinks();
  std::vector<SavedRoute> defaults;
  if (!routes || !links) return defaults;
  for (const RouteRow& row : *routes) {
    // The router's own routes are never the system's.
    if (!row.is_default() || row.protocol == kVelmoraRouteProtocol) continue;
    if (row.unkept_path) return std::nullopt;
    if (std::optional<SavedRoute> route = WithInterfaceNames(row, *links)) {
      defaults.push_back(std::move(*route));
    }
  }
  return defaults;
}

std::vector<SavedRoute> CorvidRoutes::UnrestoredRoutes() {
  const std::optional<std::string> text = files_.ReadFile(settings_.state_file);
  if (!text) return {};
  return ParseRouteState(*text).routes;
}

void CorvidRoutes::DeleteSystemDefaults(RouteTable& table, const std::vector<SavedRoute>& routes) {
  bool failed = false;
  for (const SavedRoute& route : routes) {
    if (!DeleteReported(table, route.row)) failed = true;
  }
  if (!failed) return;
  log_ << "A default route of the system stays: traffic may go past the interface.\n";
  Warn("Cannot delete the system's default route. Check route table.");
}

bool CorvidRoutes::AddInserterRoute(RouteTable& table) {
  const uint32_t inserter = settings_.inserter_ip;
  const std::optional<RouteRow> path = table.LookUp(inserter);
  if (!path || path->gateway == 0) return true;
  const RouteRow row{.destination = inserter,
                     .prefix_length = 32,
                     .gateway = path->gateway,
                     .interface_index = path->interface_index,
                     .metric = 1,
                     .protocol = kVelmoraRouteProtocol,
                     .scope = RT_SCOPE_UNIVERSE,
                     .flags = GatewayFlags(table, *path)};
  const int error = table.AddRoute(row);
  if (error == EEXIST) {
    // A host route of the operator's own with the same metric: the inserter stays reachable
    // through it, and it is not the router's to remove.
    if (log_.level() >= kVerbose) {
      log_ << "A route to " << AddressToDotted(inserter) << " is there already: it is kept.\n";
    }
    return true;
  }
  if (error != 0) {
    log_ << "Cannot add route to " << AddressToDotted(inserter) << "\n";
    return false;
  }
  run_.inserter_route = row;
  return true;
}

void CorvidRoutes::AddSubnetRoutes(RouteTable& table) {
  run_.subnet_routes = true;
  bool failed = false;
  for (const SubnetEntry& subnet : tables_.Snapshot()->subnets()) {
    if (IsMulticast(subnet.IPSubNetAddr)) continue;
    if (AddAdapterRoute(table, subnet.IPSubNetAddr, subnet.IPSubNetMask) != 0) failed = true;
  }
  if (failed) Warn("Cannot add all routes to interface. Check route table.");
}

int CorvidRoutes::AddAdapterRoute(RouteTable& table, uint32_t address, uint32_t mask) {
  const std::optional<uint8_t> prefix_length = PrefixLengthOf(mask);
  if (!prefix_length) return EINVAL;
  return table.AddRoute(AdapterRoute(address, *prefix_length));
}

RouteRow CorvidRoutes::AdapterRoute(uint32_t destination, uint8_t prefix_length) const {
  return {.destination = destination,
          .prefix_length = prefix_length,
          .interface_index = run_.adapter_index,
          .metric = 1,
          .protocol = kVelmoraRouteProtocol,
          .scope = RT_SCOPE_LINK};
}

void CorvidRoutes::RemoveCorvidRoutes() {
  std::unique_lock<std::mutex> lock(state_mutex_);
  RemoveRoutes();
  ShowWarnings(lock);
}

void CorvidRoutes::RemoveRoutes() {
  if (log_.level() >= kVerbose) log_ << "Deleting route from interface...\n";
  RouteTable table;
  bool failed = false;
  if (const std::optional<std::vector<RouteRow>> routes = table.ListRoutes()) {
    for (const RouteRow& row : *routes) {
      if (IsOwnRoute(row) && !DeleteReported(table, row)) failed = true;
    }
  } else {
    failed = true;
  }
  if (!run_.saved_defaults.empty() &&
      !KeepForTheNextStart(RestoreSavedRoutes(table, run_.saved_defaults, kVerbose))) {
    Warn("Cannot restore the system's default route. Check route table.");
  }
  if (failed) Warn("Cannot delete some routes from interface...");
  run_ = RunState{};
}

bool CorvidRoutes::IsOwnRoute(const RouteRow& row) const {
  if (row.protocol != kVelmoraRouteProtocol) return false;
  if (run_.adapter_index != 0 && row.interface_index == run_.adapter_index) return true;
  const std::optional<RouteRow>& inserter = run_.inserter_route;
  return inserter && row.destination == inserter->destination &&
         row.prefix_length == inserter->prefix_length &&
         row.interface_index == inserter->interface_index;
}

bool CorvidRoutes::DeleteReported(RouteTable& table, const RouteRow& row) {
  const std::string destination = AddressToDotted(row.destination);
  if (table.DeleteRoute(row) != 0) {
    log_ << "Cannot delete route to " << destination << "\n";
    return false;
  }
  if (log_.level() >= kVerbose) log_ << "Route to " << destination << " deleted.\n";
  return true;
}

void CorvidRoutes::DeleteLeftoverRoutes(RouteTable& table) {
  const std::optional<std::vector<RouteRow>> routes = table.ListRoutes();
  if (!routes) return;
  int32_t deleted = 0;
  for (const RouteRow& row : *routes) {
    if (row.protocol == kVelmoraRouteProtocol && DeleteReported(table, row)) ++deleted;
  }
  if (deleted > 0) log_ << "Deleted " << deleted << " routes left by a run that did not stop.\n";
}

std::vector<SavedRoute> CorvidRoutes::RestoreSavedRoutes(RouteTable& table,
                                                         const std::vector<SavedRoute>& routes,
                                                         int level) {
  const std::optional<std::vector<NetworkLink>> links = ListNetworkLinks();
  std::vector<SavedRoute> unrestored;
  for (const SavedRoute& route : routes) {
    const std::optional<RouteRow> row = links ? WithInterfaceIndexes(route, *links) : std::nullopt;
    const int error = row ? table.AddRoute(*row) : ENODEV;
    // A route that is there already, put back by the system itself, counts as restored.
    if (error != 0 && error != EEXIST) {
      log_ << "Cannot restore route " << Describe(route) << "\n";
      unrestored.push_back(route);
    } else if (log_.level() >= level) {
      log_ << "Route " << Describe(route) << " restored.\n";
    }
  }
  return unrestored;
}

bool CorvidRoutes::KeepForTheNextStart(const std::vector<SavedRoute>& unrestored) {
  if (unrestored.empty()) {
    files_.RemoveFile(settings_.state_file);
    return true;
  }
  if (files_.WriteFileAtomically(settings_.state_file, FormatRouteState(unrestored))) {
    log_ << static_cast<int32_t>(unrestored.size()) << " routes not restored are kept in "
         << settings_.state_file << ": the next start tries again.\n";
  } else {
    log_ << "Cannot write " << settings_.state_file << ": the routes not restored are lost.\n";
  }
  return false;
}

void CorvidRoutes::Warn(const std::string& text) {
  warnings_.push_back(text);
}

void CorvidRoutes::ShowWarnings(std::unique_lock<std::mutex>& lock) {
  const std::vector<std::string> warnings = std::exchange(warnings_, {});
  lock.unlock();
  for (const std::string& text : warnings) {
    prompt_.Ask({.title = "Route failed warning",
                 .text = text,
                 .buttons = PromptButtons::kOk,
                 .icon = PromptIcon::kWarning});
  }
}

void CorvidRoutes::AddSubnetRoute(uint32_t address, uint32_t mask) {
  Post([this, address, mask](RouteTable& table) {
    std::lock_guard<std::mutex> guard(state_mutex_);
    if (!run_.probed || !run_.subnet_routes || IsMulticast(address)) return;
    if (AddAdapterRoute(table, address, mask) != 0) {
      log_ << "!Cannot add route to " << AddressToDotted(address) << "\n";
    }
  });
}

void CorvidRoutes::DeleteSubnetRoute(uint32_t address) {
  Post([this, address](RouteTable& table) {
    std::lock_guard<std::mutex> guard(state_mutex_);
    if (!run_.probed || !run_.subnet_routes) return;
    const std::optional<std::vector<RouteRow>> routes = table.ListRoutes();
    if (!routes) return;
    for (const RouteRow& row : *routes) {
      if (row.protocol == kVelmoraRouteProtocol && row.interface_index == run_.adapter_index &&
          row.destination == address) {
        DeleteReported(table, row);
      }
    }
  });
}

void CorvidRoutes::DropArpEntry(const std::string& address_text) {
  const uint32_t address = DottedToAddress(address_text);
  Post([this, address, address_text](RouteTable& table) {
    std::lock_guard<std::mutex> guard(state_mutex_);
    if (!run_.probed || address == kNoAddress) return;
    const int error = table.DeleteNeighbour(run_.adapter_index, address);
    if (error != 0 && error != ENOENT && log_.level() >= kVerbose) {
      log_ << "Cannot drop the ARP entry of " << address_text << "\n";
    }
  });
}

void CorvidRoutes::WaitForHooks() {
  std::unique_lock<std::mutex> lock(hooks_mutex_);
  const uint64_t target = hooks_posted_;
  hooks_changed_.wait(lock, [this, target] { return hooks_done_ >= target; });
}

void CorvidRoutes::Post(Hook hook) {
  {
    std::lock_guard<std::mutex> guard(hooks_mutex_);
    hooks_.push_back(std::move(hook));
    ++hooks_posted_;
  }
  hooks_changed_.notify_all();
}

void CorvidRoutes::RunHooks() {
  RouteTable table;
  std::unique_lock<std::mutex> lock(hooks_mutex_);
  for (;;) {
    hooks_changed_.wait(lock, [this] { return stopping_ || !hooks_.empty(); });
    if (hooks_.empty()) return;
    Hook hook = std::move(hooks_.front());
    hooks_.pop_front();
    lock.unlock();
    hook(table);
    lock.lock();
    ++hooks_done_;
    hooks_changed_.notify_all();
  }
}

}  // namespace velmora
