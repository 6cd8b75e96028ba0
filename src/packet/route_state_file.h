#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/route_table.h"

namespace velmora {

// The file, beside velmora.ini, that holds the system's default routes while the router has
// replaced them, so that a start after a crash can put them back.
inline constexpr const char* kRouteStateFile = "velmora.routes";

// A route kept in the state file: its interfaces go by name, since an index may change.
struct SavedRoute {
  RouteRow row;                                  // the interface indexes are not kept
  std::string interface_name;                    // empty for a route without one output interface
  std::vector<std::string> next_hop_interfaces;  // the names for row.next_hops, in order
  bool operator==(const SavedRoute&) const = default;
};

// A line of the state file that could not be read, numbered from 1.
struct RejectedRouteLine {
  size_t number = 0;
  std::string text;
};

struct RouteState {
  std::vector<SavedRoute> routes;
  std::vector<RejectedRouteLine> rejected;
};

// One line per route, "A.B.C.D/N dev NAME gateway A.B.C.D metric N protocol N scope N type N
// table N flags N source A.B.C.D tos N metrics HEX" (the metrics attribute's payload as hex
// digits), then "nexthop GATEWAY,FLAGS,WEIGHT,NAME" for each of the paths of a route with several,
// after a comment line. Fields that a route lacks are left out.
// ParseRouteState reads what FormatRouteState writes and skips, listed as rejected, any line it
// cannot read whole.
std::string FormatRouteState(const std::vector<SavedRoute>& routes);
RouteState ParseRouteState(std::string_view text);

}  // namespace velmora
