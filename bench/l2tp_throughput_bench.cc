// End-to-end throughput of L2TP users' packets: a paced sender -> relay -> a receiver, all on
// loopback. The relay is the real velmora (its L2TP server on a loopback port, no bandwidth
// management, one user logged in with a scripted LAC and PPP client: SCCRQ..ICCN, LCP, CHAP,
// IPCP; the receiver in the inserter's place), or a reference written here (one process, one
// thread, recvmmsg/sendmmsg in batches of 64, the receive buffer velmora asks for): it strips the
// L2TP and PPP headers of the one known session at fixed offsets and puts the router's 22-byte
// delivery header in front. The user sends IPv4 packets to an address with an IP/MAC row, carried
// in L2TP data messages, in paced batches with sleeps in between. For each relay and packet size,
// the highest offered rate that arrives complete and in order over the full trial time is found,
// best of the runs; loss and order are judged at the receiver by the sequence number in the last
// 8 bytes of each packet. Printed: each rate, the ratio velmora / reference against its target,
// and each relay's CPU time (user + system) per packet over its final full-length trial. Sizes
// are those of the IPv4 packets.
//
// usage: l2tp_throughput_bench [--seconds S] [--runs N] [--sizes 100,1400]
//        (defaults: 10 s, 3 runs, 100 and 1400 bytes)

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>

#include "l2tp/ppp/ppp.h"
#include "packet/l2tp_datagram.h"
#include "packet/l2tp_link.h"
#include "ppp_user.h"
#include "router_child.h"
#include "router_stage_costs.h"
#include "scripted_lac.h"
#include "throughput_trial.h"

namespace velmora::bench {
namespace {

using l2tp::kDeliveryHeaderSize;

constexpr const char* kUsage = "l2tp_throughput_bench [--seconds S] [--runs N] [--sizes 100,1400]";
// The L2TP data header without length or sequence numbers, PPP address and control, protocol.
constexpr size_t kCarriedHeaders = 6 + 2 + 2;
// The reference's session: its tunnel and session ID.
constexpr uint16_t kReferenceTunnel = 1;
constexpr uint16_t kReferenceSession = 1;

// Keeps the user's tunnel alive while packets flow: acknowledges the server's control messages
// (its hellos) on a thread of its own; the main thread creates and ends it.
class TunnelKeeper {
 public:
  TunnelKeeper(ScriptedLac& lac, ScriptedLac::Tunnel& tunnel)
      : thread_([this, &lac, &tunnel] {
          while (!stop_) {
            lac.NextFrame(tunnel);
          }
        }) {}
  ~TunnelKeeper() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The real router as the relay: its L2TP server gets the logged-in user's packets, its inserter
// is the receiver. Owned by the main thread.
class VelmoraRelay final : public RelayUnderTest {
 public:
  VelmoraRelay(uint16_t receiver_port, size_t size)
      : port_(LoopbackUdp::FreePort()),
        router_("velmora_l2tp_throughput_bench", L2tpRouterIni(receiver_port, port_, 1, false)),
        lac_(port_) {
    const uint16_t session = OpenFirstCall(lac_, tunnel_, 1);
    PppUser user(lac_, tunnel_, session);
    if (session == 0 || !user.LogIn(UserName(0), UserPassword(0))) {
      std::fprintf(stderr, "the user could not log in\n");
      std::exit(1);
    }
    sender_.emplace(lac_.fd(), port_, user.DataMessage(user.IpPacket(size, 0)));
    keeper_.emplace(lac_, tunnel_);
  }

  pid_t pid() const override { return router_.pid(); }
  PacedSender& sender() override { return *sender_; }

 private:
  uint16_t port_;
  RouterChild router_;
  ScriptedLac lac_;
  ScriptedLac::Tunnel tunnel_;
  std::optional<PacedSender> sender_;
  std::optional<TunnelKeeper> keeper_;
};

// What the router's L2TP server puts in front of a user's IPv4 packet before it is resolved.
std::array<uint8_t, kDeliveryHeaderSize> DeliveryHeader() {
  std::array<uint8_t, kDeliveryHeaderSize> header{};
  const uint32_t address = htonl(INADDR_LOOPBACK);
  std::memcpy(header.data(), &address, 4);
  header[4] = header[7] = ',';
  header[5] = static_cast<uint8_t>(L2tpLink::kHeaderPid >> 8);
  header[6] = static_cast<uint8_t>(L2tpLink::kHeaderPid);
  std::fill(header.begin() + 8, header.begin() + 20, 0x02);
  header[20] = 0x08;
  return header;
}

std::unique_ptr<RelayUnderTest> Velmora(size_t size, uint16_t receiver_port) {
  return std::make_unique<VelmoraRelay>(receiver_port, size);
}

// The reference receives each data message where its IPv4 packet lands right behind the room
// for the delivery header, checks the headers of its one session and writes the delivery header.
std::unique_ptr<RelayUnderTest> Reference(size_t size, uint16_t receiver_port) {
  const Bytes carried_headers =
      ScriptedLac::DataMessage(kReferenceTunnel, kReferenceSession, {0x00, 0x21});
  const auto header = DeliveryHeader();
  constexpr size_t kReceiveAt = kDeliveryHeaderSize - kCarriedHeaders;
  const auto deliver = [carried_headers, header](uint8_t* slot,
                                                 size_t length) -> std::span<uint8_t> {
    if (length <= kCarriedHeaders ||
        std::memcmp(slot + kReceiveAt, carried_headers.data(), kCarriedHeaders) != 0) {
      return {};
    }
    std::memcpy(slot, header.data(), kDeliveryHeaderSize);
    return {slot, kReceiveAt + length};
  };
  const Bytes datagram = ScriptedLac::DataMessage(kReferenceTunnel, kReferenceSession,
                                                  UserIpFrame(htonl(0xac100001), size));
  return std::make_unique<ReferenceRelay>(ReferenceBuffer::kAsVelmora, receiver_port, datagram,
                                          kReceiveAt, deliver);
}

// The L2TP link's own work on a delivered packet of the benchmark.
std::vector<StageCost> L2tpStageCosts(size_t size) {
  const auto header = DeliveryHeader();
  const Bytes frame = UserIpFrame(htonl(0xac100001), size);
  Bytes delivered(header.begin(), header.end());
  delivered.insert(delivered.end(), frame.begin() + 2, frame.end());  // without PPP's protocol
  const auto resolve = [](std::span<uint8_t> datagram, const TableSnapshot& tables) {
    ResolveL2tpDatagram(datagram, tables);
  };
  return {ResolutionCost(delivered, kDeliveryHeaderSize, resolve),
          HandOverCost(delivered.size(), kHandOverBatch)};
}

}  // namespace
}  // namespace velmora::bench

int main(int argc, char** argv) {
  return velmora::bench::CompareRelays(
      argc, argv, velmora::bench::kUsage, "L2TP user packets (sizes of the IPv4 packets)",
      velmora::l2tp::kDeliveryHeaderSize,
      {{"velmora", velmora::bench::Velmora}, {"reference, same buffer", velmora::bench::Reference}},
      velmora::bench::L2tpStageCosts);
}
