// The per-packet work of the packet path on full tables (128 subnets, 4096 IPv4 and 4096 IPv6
// rows), for datagrams of 1400 bytes: what the virtual adapter's thread does with a frame (PID,
// MAC, datagram), what the transparent port does with a datagram, IPv4 and IPv6, and the
// hand-over of finished datagrams to the sending thread (statistics, queue in and out) in
// batches of 1 and of 64.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "full_tables.h"
#include "hand_over_rig.h"
#include "packet/inserter_datagram.h"
#include "packet/transparent_datagram.h"

namespace velmora {
namespace {

constexpr size_t kFrameSize = 1400 - kQosHeaderSize;

std::vector<uint8_t> Frame(bool v6) {
  std::vector<uint8_t> frame(kFrameSize, 0x5a);
  frame[14] = v6 ? 0x60 : 0x45;
  return frame;
}

void SetIpv4Destination(std::vector<uint8_t>& frame, size_t at, uint32_t address) {
  std::memcpy(frame.data() + at + frame::kIpv4Destination, &address, 4);
}

void BM_ResolveAndBuildIpv4Frame(benchmark::State& state) {
  TableReader reader(Tables().tables);
  const auto& ips = Tables().ipv4;
  std::vector<uint8_t> frame = Frame(false);
  std::vector<uint8_t> datagram;
  datagram.reserve(kFrameSize + kQosHeaderSize);
  size_t i = 0;
  for (auto _ : state) {
    const uint32_t destination = ips[i++ & (ips.size() - 1)];
    SetIpv4Destination(frame, 0, destination);
    const TableSnapshot& tables = reader.Current();
    const SubnetEntry* subnet = tables.FindSubnetForAddress(destination);
    if (subnet != nullptr && ResolveIpv4Mac(frame, Ipv4MacRule::kMapMulticast, tables, true)) {
      BuildDatagram(frame, subnet->IPSubNetPID, false, datagram);
    }
    benchmark::DoNotOptimize(datagram.data());
  }
}
BENCHMARK(BM_ResolveAndBuildIpv4Frame);

void BM_TransparentIpv4Datagram(benchmark::State& state) {
  TableReader reader(Tables().tables);
  const auto& ips = Tables().ipv4;
  std::vector<uint8_t> datagram(kQosHeaderSize, ',');
  datagram[5] = 1;
  const std::vector<uint8_t> frame = Frame(false);
  datagram.insert(datagram.end(), frame.begin(), frame.end());
  std::vector<uint8_t> rebuilt;
  size_t i = 0, resolved = 0;
  for (auto _ : state) {
    // A resolved datagram carries the tables' PID and MAC, which may both be zero: mark it to
    // be resolved again.
    datagram[5] = 1;
    datagram[8] = 0x5a;
    SetIpv4Destination(datagram, kQosHeaderSize, ips[i++ & (ips.size() - 1)]);
    resolved += HandleTransparentDatagram(datagram, reader.Current(), true, rebuilt).outcome ==
                TransparentOutcome::kResolvedIpv4;
  }
  state.counters["resolved"] =
      benchmark::Counter(static_cast<double>(resolved) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_TransparentIpv4Datagram);

void BM_TransparentIpv6Datagram(benchmark::State& state) {
  TableReader reader(Tables().tables);
  const auto& ips = Tables().ipv6;
  std::vector<uint8_t> datagram(kQosHeaderSize, ',');
  datagram[5] = 1;
  const std::vector<uint8_t> frame = Frame(true);
  datagram.insert(datagram.end(), frame.begin(), frame.end());
  std::vector<uint8_t> rebuilt;
  rebuilt.reserve(datagram.size());
  size_t i = 0, resolved = 0;
  for (auto _ : state) {
    const Ipv6Address& destination = ips[i++ & (ips.size() - 1)];
    std::memcpy(datagram.data() + kQosHeaderSize + frame::kIpv6Destination, destination.data(),
                destination.size());
    resolved += HandleTransparentDatagram(datagram, reader.Current(), true, rebuilt).outcome ==
                TransparentOutcome::kResolvedIpv6;
  }
  state.counters["resolved"] =
      benchmark::Counter(static_cast<double>(resolved) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_TransparentIpv6Datagram);

// A source's batch into the statistics and the output queue, and the sending thread's side of the
// queue, on one thread; the time per datagram is the figure.
void BM_HandOverAndTake(benchmark::State& state) {
  const auto batch_size = static_cast<size_t>(state.range(0));
  bench::HandOverRig rig;
  const std::vector<uint8_t> datagram(1400, 0x5a);
  const auto& ips = Tables().ipv4;
  size_t i = 0;
  for (auto _ : state) {
    for (size_t n = 0; n < batch_size; ++n) {
      rig.batch.Count(ips[i++ & 7], 1358);  // a burst to a few destinations
      rig.batch.Add(datagram);
    }
    rig.DeliverAndTake();
  }
  state.counters["ns_per_datagram"] =
      benchmark::Counter(static_cast<double>(state.iterations() * batch_size),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_HandOverAndTake)->Arg(1)->Arg(64);

}  // namespace
}  // namespace velmora

BENCHMARK_MAIN();
