// The lookups of the packet path on full tables (128 subnets, 4096 IPv4 rows, 4096 IPv6 rows),
// each through a reader's current snapshot as a source thread makes them. Heap allocations
// during the timed loop are counted and reported per lookup.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "full_tables.h"

namespace {

std::atomic<long> allocations{0};

}  // namespace

void* operator new(size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, size_t) noexcept {
  std::free(p);
}

namespace velmora {
namespace {

template <typename Lookup>
void RunLookups(benchmark::State& state, Lookup lookup) {
  TableReader reader(Tables().tables);
  reader.Current();
  size_t i = 0;
  const long before = allocations.load();
  for (auto _ : state) {
    benchmark::DoNotOptimize(lookup(reader.Current(), i));
    ++i;
  }
  state.counters["allocs_per_lookup"] = benchmark::Counter(
      static_cast<double>(allocations.load() - before) / static_cast<double>(state.iterations()));
}

void BM_FindSubnetForAddress(benchmark::State& state) {
  const auto& ips = Tables().ipv4;
  RunLookups(state, [&ips](const TableSnapshot& t, size_t i) {
    return t.FindSubnetForAddress(ips[i & (ips.size() - 1)]);
  });
}
BENCHMARK(BM_FindSubnetForAddress);

void BM_FindIpMacRow(benchmark::State& state) {
  const auto& ips = Tables().ipv4;
  RunLookups(state, [&ips](const TableSnapshot& t, size_t i) {
    return t.FindIpMacRow(ips[i & (ips.size() - 1)]);
  });
}
BENCHMARK(BM_FindIpMacRow);

void BM_FindIpv6MacRow(benchmark::State& state) {
  const auto& ips = Tables().ipv6;
  RunLookups(state, [&ips](const TableSnapshot& t, size_t i) {
    return t.FindIpv6MacRow(ips[i & (ips.size() - 1)]);
  });
}
BENCHMARK(BM_FindIpv6MacRow);

}  // namespace
}  // namespace velmora

BENCHMARK_MAIN();
