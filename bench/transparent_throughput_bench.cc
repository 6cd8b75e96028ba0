// End-to-end throughput of the transparent port: a paced sender -> relay -> a receiver, all on
// loopback. The relay is the real velmora (transparent port, no bandwidth management, each
// datagram resolved from its tables), or a reference written here (one process, one thread,
// recvmmsg/sendmmsg in batches of 64, nothing looked at), either with the receive buffer velmora
// asks for (velmora::SizeReceiveBuffer) or with the system's default. For each relay and datagram
// size, the highest offered rate that arrives complete and in order over the full trial time is
// found, best of the runs; loss and order are judged at the receiver by the sequence number at
// the end of each datagram. Printed: each rate, the ratio velmora / reference with the same
// buffer against its target, and each relay's CPU time (user + system) per datagram over its
// final full-length trial.
//
// usage: transparent_throughput_bench [--seconds S] [--runs N] [--sizes 100,1400]
//        (defaults: 10 s, 3 runs, 100 and 1400 bytes)

#include <arpa/inet.h>

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "packet/inserter_datagram.h"
#include "packet/transparent_datagram.h"
#include "router_stage_costs.h"
#include "throughput_trial.h"
#include "transparent_load.h"

namespace velmora::bench {
namespace {

constexpr const char* kUsage =
    "transparent_throughput_bench [--seconds S] [--runs N] [--sizes 100,1400]";

// The real router as the relay: its transparent port takes the sender's datagrams and its
// inserter is the receiver.
std::unique_ptr<RelayUnderTest> Velmora(size_t size, uint16_t receiver_port) {
  const uint16_t port = LoopbackUdp::FreePort();
  return std::make_unique<RouterRelay<LoopbackUdp>>(
      "velmora_throughput_bench", TransparentRouterIni(port, receiver_port),
      LoopbackUdp::Loopback(port), TransparentDatagram(size));
}

RelayFactory Reference(ReferenceBuffer buffer) {
  return [buffer](size_t size, uint16_t receiver_port) {
    const auto whole = [](uint8_t* slot, size_t length) { return std::span(slot, length); };
    return std::make_unique<ReferenceRelay>(buffer, receiver_port, TransparentDatagram(size), 0,
                                            whole);
  };
}

// The transparent port's own work on the benchmark's datagram.
std::vector<StageCost> TransparentStageCosts(size_t size) {
  std::vector<uint8_t> rebuilt;
  const auto resolve = [&rebuilt](std::span<uint8_t> datagram, const TableSnapshot& tables) {
    HandleTransparentDatagram(datagram, tables, true, rebuilt);
  };
  return {ResolutionCost(TransparentDatagram(size), kQosHeaderSize + 6, resolve),
          HandOverCost(size, kHandOverBatch)};
}

}  // namespace
}  // namespace velmora::bench

int main(int argc, char** argv) {
  using velmora::bench::Reference;
  using velmora::bench::ReferenceBuffer;
  return velmora::bench::CompareRelays(
      argc, argv, velmora::bench::kUsage, "transparent port", 0,
      {{"velmora", velmora::bench::Velmora},
       {"reference, same buffer", Reference(ReferenceBuffer::kAsVelmora)},
       {"reference, default buffer", Reference(ReferenceBuffer::kSystemDefault)}},
      velmora::bench::TransparentStageCosts);
}
