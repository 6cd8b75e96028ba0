#pragma once

#include <arpa/inet.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "testing/network_namespace.h"

namespace velmora::testing {

// The namespace's IGMP table (/proc/net/igmp), read through its own view of /proc.
inline std::string IgmpTable(const NetworkNamespace& space) {
  return space.Output("cat /proc/net/igmp");
}

// Whether the namespace's IGMP table holds `group` (dotted) on `device`, or on any device when it
// is empty. The table writes a group as the hexadecimal of its address in network order read as
// a host integer, one indented line per group below its device's line.
inline bool IgmpHolds(const NetworkNamespace& space, const std::string& group,
                      const std::string& device = "") {
  in_addr address{};
  inet_pton(AF_INET, group.c_str(), &address);
  char text[9];
  std::snprintf(text, sizeof text, "%08X", address.s_addr);
  std::istringstream table(IgmpTable(space));
  bool on_device = device.empty();
  for (std::string line; std::getline(table, line);) {
    const bool device_line = !line.empty() && line[0] != '\t' && line[0] != ' ';
    if (device_line && !device.empty()) {
      on_device = line.find("\t" + device + " ") != std::string::npos ||
                  line.find("\t" + device + ":") != std::string::npos;
    } else if (!device_line && on_device && line.find(text) != std::string::npos) {
      return true;
    }
  }
  return false;
}

}  // namespace velmora::testing
