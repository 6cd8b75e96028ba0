// Feeds any text to the route state file's reader. Every line must be either read or rejected,
// and what was read must survive being written and read again unchanged, with nothing rejected.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "packet/route_state_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16384) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const velmora::RouteState state = velmora::ParseRouteState(text);
  const velmora::RouteState again =
      velmora::ParseRouteState(velmora::FormatRouteState(state.routes));
  if (again.routes != state.routes || !again.rejected.empty()) std::abort();
  for (const velmora::SavedRoute& route : state.routes) {
    if (route.row.prefix_length > 32) std::abort();
    if (route.next_hop_interfaces.size() != route.row.next_hops.size()) std::abort();
  }
  return 0;
}
