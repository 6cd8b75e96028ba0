#pragma once

// The router's own per-datagram work on a throughput benchmark's datagram, timed in this process
// with the router's code: the resolution from the benchmark's tables and the hand-over of
// finished datagrams to the sending thread. Beside the CPU time of each of the router's threads,
// it tells how much of a thread's time goes to the system calls and wake-ups around that work.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "hand_over_rig.h"
#include "platform/address_text.h"
#include "tables/network_tables.h"
#include "throughput_trial.h"
#include "traffic/udp_frame.h"

namespace velmora::bench {

// About the datagrams a batch of the router carries in the throughput benchmarks.
inline constexpr size_t kHandOverBatch = 16;

// The tables of the benchmarks' router: 10.0.0.0/8 on PID 291, 10.0.0.5 with its MAC.
inline TableSnapshot BenchmarkTables() {
  TableSnapshot tables;
  tables.InsertSubnet({.id = 1,
                       .IPSubNetAddr = DottedToAddress("10.0.0.0"),
                       .IPSubNetMask = DottedToAddress("255.0.0.0"),
                       .IPSubNetPID = 291});
  tables.InsertIpMacRow({.address = DottedToAddress("10.0.0.5"),
                         .mac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55},
                         .subnet = 1});
  return tables;
}

// Seconds per call of `work`, over about 0.2 s.
template <typename Work>
double SecondsPerCall(Work work) {
  using Steady = std::chrono::steady_clock;
  uint64_t calls = 0;
  const Steady::time_point start = Steady::now();
  Steady::duration spent{};
  while (spent < std::chrono::milliseconds(200)) {
    for (int i = 0; i < 1000; ++i) work();
    calls += 1000;
    spent = Steady::now() - start;
  }
  return std::chrono::duration<double>(spent).count() / static_cast<double>(calls);
}

// Resolving `datagram` in place with `resolve(bytes, tables)`; its first `header` bytes, which
// the resolution rewrites, are put back before each call.
template <typename Resolve>
StageCost ResolutionCost(std::vector<uint8_t> datagram, size_t header, Resolve resolve) {
  const std::vector<uint8_t> original = datagram;
  const TableSnapshot tables = BenchmarkTables();
  return {"resolution", SecondsPerCall([&] {
            std::copy_n(original.begin(), header, datagram.begin());
            resolve(std::span<uint8_t>(datagram), tables);
          })};
}

// A source's batches of `batch` datagrams of `length` bytes into the statistics and the output
// queue, and the sending thread's taking of them, on one thread (no wake-ups).
inline StageCost HandOverCost(size_t length, size_t batch) {
  HandOverRig rig;
  const std::vector<uint8_t> datagram(length, 0x5a);
  const double per_batch = SecondsPerCall([&] {
    for (size_t i = 0; i < batch; ++i) {
      rig.batch.Count(DottedToAddress("10.0.0.5"), static_cast<uint32_t>(length));
      rig.batch.Add(datagram);
    }
    rig.DeliverAndTake();
  });
  return {"hand-over in batches of " + std::to_string(batch),
          per_batch / static_cast<double>(batch)};
}

// A source's work on the routed load's IPv4 frame of `size` bytes (to the host of the tables
// above) behind its inserter header: `decode(slot, tables)`, which writes the destination MAC and
// the header in place, and the hand-over.
template <typename Decode>
std::vector<StageCost> Ipv4FrameStageCosts(size_t size, Decode decode) {
  std::vector<uint8_t> slot(kQosHeaderSize, 0);
  const std::vector<uint8_t> frame =
      Ipv4UdpFrame(htonl(0xc0a8fe01), DottedToAddress("10.0.0.5"), kLoadPort, LoadPayload(size));
  slot.insert(slot.end(), frame.begin(), frame.end());
  return {ResolutionCost(slot, kQosHeaderSize + 6, decode),
          HandOverCost(slot.size(), kHandOverBatch)};
}

}  // namespace velmora::bench
