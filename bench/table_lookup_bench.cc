// The lookups of the packet path on full tables (128 subnets, 4096 IPv4 rows, 4096 IPv6 rows),
// each through a reader's current snapshot as a source thread makes them. Heap allocations
// during the timed loop are counted and reported per lookup.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>
#include <vector>

#include "tables/network_tables.h"

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

// Full tables and the addresses to look up: every second one present.
struct FullTables {
  FullTables() {
    std::mt19937 random(1);
    TableSnapshot snapshot;
    for (uint32_t i = 0; i < kMaxSubnets; ++i) {
      snapshot.InsertSubnet({.id = i + 1,
                             .Alias = "net",
                             .IPSubNetAddr = htonl(0x0a000000u | i << 16),
                             .IPSubNetMask = htonl(0xffff0000u),
                             .IPSubNetMAC = "SubNet",
                             .IPSubNetPID = static_cast<uint16_t>(i)});
    }
    for (uint32_t i = 0; i < kMaxIpMacRows; ++i) {
      const uint32_t address = htonl(0x0a000000u | (i % 128) << 16 | (i / 128 + 1));
      snapshot.InsertIpMacRow({.address = address,
                               .address_text = "10.0.0.1",
                               .mac_text = "00-00-00-00-00-01",
                               .subnet = i % 128 + 1,
                               .profile_alias = "Gold"});
      ipv4.push_back(address);
      ipv4.push_back(htonl(0x0a000000u | (random() % 128) << 16 | 0x8000 | (random() & 0xff)));
      Ipv6Address v6{};
      for (uint8_t& byte : v6) byte = static_cast<uint8_t>(random());
      snapshot.InsertIpv6MacRow({.address = v6,
                                 .address_text = "2001:db8::1",
                                 .mac_text = "00-00-00-00-00-01",
                                 .subnet = 1,
                                 .profile_alias = "Gold"});
      ipv6.push_back(v6);
      v6[15] ^= 0x5a;
      ipv6.push_back(v6);
    }
    std::shuffle(ipv4.begin(), ipv4.end(), random);
    std::shuffle(ipv6.begin(), ipv6.end(), random);
    tables.Publish(std::move(snapshot));
  }
  NetworkTables tables;
  std::vector<uint32_t> ipv4;
  std::vector<Ipv6Address> ipv6;
};

FullTables& Tables() {
  static FullTables tables;
  return tables;
}

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
