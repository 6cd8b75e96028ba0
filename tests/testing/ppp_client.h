#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

// The scripted LAC with one PPP user (tests/testing/l2tp_ppp_client.py, on scapy's PPP layers).
namespace velmora::testing {

inline bool PppClientAvailable() {
  return std::system("/usr/bin/python3 -c 'import scapy.layers.ppp' 2>/dev/null") == 0;
}

// Runs the client against the LNS on loopback port `port` and returns everything it printed.
inline std::string RunPppClient(uint16_t port, const std::string& arguments) {
  const std::string command = std::string("/usr/bin/python3 ") + PPP_CLIENT_SCRIPT + " --port " +
                              std::to_string(port) + " " + arguments + " 2>&1";
  std::string out;
  if (std::FILE* pipe = popen(command.c_str(), "r")) {
    char chunk[512];
    while (const size_t n = std::fread(chunk, 1, sizeof chunk, pipe)) out.append(chunk, n);
    pclose(pipe);
  }
  return out;
}

}  // namespace velmora::testing
