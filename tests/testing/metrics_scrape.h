#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace velmora::testing {

// The metrics endpoint's text on 127.0.0.1:`port` as curl fetches it; empty when curl fails.
// Called by the test thread.
inline std::string Scrape(uint16_t port) {
  const std::string command =
      "curl -sf --max-time 2 http://127.0.0.1:" + std::to_string(port) + "/metrics";
  std::FILE* pipe = popen(command.c_str(), "r");
  std::string text;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
  return pclose(pipe) == 0 ? text : "";
}

}  // namespace velmora::testing
