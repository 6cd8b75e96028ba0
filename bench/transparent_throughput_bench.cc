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
#include "traffic/udp_frame.h"

namespace velmora::bench {
namespace {

constexpr const char* kUsage =
    "transparent_throughput_bench [--seconds S] [--runs N] [--sizes 100,1400]";

// A transparent-port datagram of `size` bytes to 10.0.0.5 with PID 1, which the router resolves
// through its subnet and IP/MAC row.
Bytes TransparentDatagram(size_t size) {
  const Bytes payload(size - 8 - 42, 0x5a);
  return TransparentUdpDatagram(htonl(0xc0000201), htonl(0x0a000005), 9, 1, payload);
}

std::string RouterIni(uint16_t transparent_port, uint16_t inserter_port) {
  return "[GENERAL]\nRemoteControlOn=0\nPylonEnable=0\nBouncerEnable=0\n"
         "LogOn=0\nLogLevel=1\nEnableBandwidth=0\n"
         "InserterIP=127.0.0.1\nInserterPort=" +
         std::to_string(inserter_port) + "\nTransparentEnable=1\nL2tpEnable=0\nTransparentPort=" +
         std::to_string(transparent_port) +
         "\n[NETWORKS]\nAlias=\"Bench\", IPSubNetAddr=10.0.0.0, IPSubNetMask=255.0.0.0, "
         "IPSubNetMAC=\"SubNet_001\", IPSubNetPID=291\n[SubNet_001]\n10.0.0.5 00-11-22-33-44-55\n";
}

// The real router as the relay: its transparent port takes the sender's datagrams and its
// inserter is the receiver.
std::unique_ptr<RelayUnderTest> Velmora(size_t size, uint16_t receiver_port) {
  const uint16_t port = LoopbackUdp::FreePort();
  return std::make_unique<RouterRelay<LoopbackUdp>>(
      "velmora_throughput_bench", RouterIni(port, receiver_port), LoopbackUdp::Loopback(port),
      TransparentDatagram(size));
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
