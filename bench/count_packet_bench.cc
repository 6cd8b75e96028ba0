// CountPacket with 10,000 known destination addresses, from one and from two threads; the time
// is per call as each thread sees it.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "platform/file_system.h"
#include "stats/traffic_statistics.h"
#include "support/log.h"

namespace velmora {
namespace {

struct CountingSetup {
  CountingSetup() {
    statistics.SetFile("bench-stat.log");
    std::mt19937 random(3);
    for (int i = 0; i < 10000; ++i) addresses.push_back(static_cast<uint32_t>(random()));
    for (uint32_t address : addresses) statistics.CountPacket(address, 1);
  }
  MemoryFileSystem files;
  Log log;
  TrafficStatistics statistics{files, RealClock(), log, LocalFileTimeNow()};
  std::vector<uint32_t> addresses;
};

CountingSetup& Setup() {
  static CountingSetup setup;
  return setup;
}

void BM_CountPacket(benchmark::State& state) {
  CountingSetup& setup = Setup();
  size_t i = static_cast<size_t>(state.thread_index()) * 4999;
  for (auto _ : state) {
    setup.statistics.CountPacket(setup.addresses[i % setup.addresses.size()], 1400);
    ++i;
  }
}
BENCHMARK(BM_CountPacket)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace
}  // namespace velmora

BENCHMARK_MAIN();
