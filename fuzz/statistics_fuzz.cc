// Reads any bytes as a statistic file on an in-memory file system. Whatever loads must write, and
// the written file must load and write to the same bytes again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/file_system.h"
#include "stats/traffic_statistics.h"
#include "support/clock.h"
#include "support/log.h"

namespace {

std::string LoadAndWrite(const std::string& file) {
  velmora::MemoryFileSystem files;
  velmora::SimulatedClock clock;
  velmora::Log log;
  files.WriteFileAtomically("stat.log", file);
  velmora::TrafficStatistics statistics(files, clock, log, 0);
  statistics.SetFile("stat.log");
  statistics.WriteFile();
  return files.ReadFile("stat.log").value_or("");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string written = LoadAndWrite(std::string(reinterpret_cast<const char*>(data), size));
  if (LoadAndWrite(written) != written) {
    std::fprintf(stderr, "The written statistic file does not read back:\n%s\n", written.c_str());
    std::abort();
  }
  return 0;
}
