// One scheduling decision of the bandwidth controller (PeekPacketLength and PopPacket) with 1 to
// 4,096 backlogged addresses, each sent datagram offered again so that every queue stays
// backlogged; simulated time moves on by one datagram's time at 15 Mbit/s per decision. Also
// Enqueue while another thread decides, to show that a source does not wait for the choice.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bandwidth/bwc_controller.h"
#include "platform/address_text.h"
#include "support/log.h"

namespace velmora::TessaroBWControl {
namespace {

constexpr size_t kDatagram = 1000;
constexpr auto kDatagramTime = std::chrono::nanoseconds(kDatagram * 8 * 1'000'000'000 / 15'000'000);

struct Backlog {
  explicit Backlog(int addresses) {
    bwc.SetPhysicalBandwidth(15'000'000);
    bwc.AddProfile("Many", 15'000'000, 20'000, 3'000);
    for (int i = 0; i < addresses; ++i) {
      const uint32_t address =
          DottedToAddress("10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256));
      bwc.AddAddress(address, "Many");
      std::vector<uint8_t> datagram(kDatagram, 0x5a);
      std::memcpy(datagram.data(), &address, 4);
      for (int n = 0; n < 4; ++n) bwc.Enqueue(datagram);
      datagrams.push_back(std::move(datagram));
    }
    clock.Advance(std::chrono::seconds(1));
  }
  SimulatedClock clock;
  Log log;
  BWCController bwc{clock, log};
  std::vector<std::vector<uint8_t>> datagrams;
};

void BM_ScheduleDecision(benchmark::State& state) {
  Backlog backlog(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    backlog.clock.Advance(kDatagramTime);
    if (backlog.bwc.PeekPacketLength() == 0) continue;
    std::vector<uint8_t> datagram = backlog.bwc.PopPacket();
    backlog.bwc.Enqueue(datagram);
  }
}
BENCHMARK(BM_ScheduleDecision)->Arg(1)->Arg(64)->Arg(1024)->Arg(4096);

// Enqueue to 4,096 addresses while another thread chooses without pause: the time is that of
// one Enqueue, which shares the controller's lock with the choice rather than waiting for it.
void BM_EnqueueWhileChoosing(benchmark::State& state) {
  Backlog backlog(4096);
  std::atomic<bool> done{false};
  std::thread chooser([&] {
    while (!done) {
      if (backlog.bwc.PeekPacketLength() != 0) benchmark::DoNotOptimize(backlog.bwc.PopPacket());
    }
  });
  size_t i = 0;
  for (auto _ : state) backlog.bwc.Enqueue(backlog.datagrams[i++ % backlog.datagrams.size()]);
  done = true;
  chooser.join();
}
BENCHMARK(BM_EnqueueWhileChoosing)->UseRealTime();

}  // namespace
}  // namespace velmora::TessaroBWControl

BENCHMARK_MAIN();
