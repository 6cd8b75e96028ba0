// A sequence of datagrams from one peer (and a stranger) into one server's tunnel list, with
// time passing between them, so that tunnels and sessions run through their states: nothing
// crashes, every session holds its pool address and is counted once, no tunnel queues more than
// its limit (counted from the queued messages), also for a peer that keeps sending and never
// acknowledges, and a tunnel that stops goes within its limits however the peer goes on.

#include <arpa/inet.h>

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "l2tp/avp_table.h"
#include "l2tp/datagram.h"
#include "l2tp/tunnel_list.h"
#include "platform/address_text.h"

namespace {

using namespace velmora::l2tp;
using velmora::Clock;
using velmora::ServerLog;
using velmora::TimerService;

class NullTransport final : public L2tpTransport {
 public:
  int32_t Send(const sockaddr_in&, std::span<const uint8_t>) override { return 0; }
};

class NullLink final : public SessionLink {
 public:
  void HandleFrame(std::span<uint8_t>) override {}
};

// How often a burst repeats its datagram: enough CDNs to overrun a tunnel's transmit queue.
constexpr int kBurst = 512;

// Where a control message keeps its Ns, if it has one.
std::optional<size_t> NsOffset(const std::vector<uint8_t>& datagram) {
  if (datagram.empty() || (datagram[0] & (kFlagT | kFlagS)) != (kFlagT | kFlagS)) return {};
  const size_t at = datagram[0] & kFlagL ? 8 : 6;
  if (datagram.size() < at + 2) return {};
  return at;
}

// The datagram kBurst times, its Ns counting up from its own and its Nr unchanged: in-order
// messages that never acknowledge more.
void SendBurst(CTunnelList& list, std::vector<uint8_t>& datagram, const sockaddr_in& from) {
  const std::optional<size_t> at = NsOffset(datagram);
  if (!at) return;
  for (int i = 0; i < kBurst; ++i) {
    list.HandleDatagram(datagram, from);
    const uint16_t ns = static_cast<uint16_t>((datagram[*at] << 8 | datagram[*at + 1]) + 1);
    datagram[*at] = static_cast<uint8_t>(ns >> 8);
    datagram[*at + 1] = static_cast<uint8_t>(ns);
  }
}

// The footprint of the tunnel's queued messages, counted from them: within the tunnel's limit
// but for the StopCCN, and what the tunnel counts.
bool QueueWithinLimit(const CTunnel& tunnel) {
  size_t total = 0, stop = 0;
  for (const auto& message : tunnel.queue()) {
    total += message->footprint();
    if (message->message_type == kStopCcn) stop += message->footprint();
  }
  return total - stop <= tunnel.queue_limit() && total == tunnel.queued_bytes();
}

// Watches the tunnels between records: each queue within its limit, and each tunnel that sent or
// received StopCCN gone within the StopCCN's limit and then the destroy delay from when it was
// first seen stopping, whatever the peer sends meanwhile.
class TunnelWatch {
 public:
  // False when a tunnel's queue is over its limit or a tunnel outlived its stop.
  bool Check(CTunnelList& list, size_t tunnels, Clock::TimePoint now) {
    // Zero randomness: the tunnels hold the lowest IDs.
    for (uint16_t id = 1; id <= tunnels; ++id) {
      const CTunnel* tunnel = list.Find(id);
      if (tunnel && !QueueWithinLimit(*tunnel)) return false;
      if (!tunnel || (tunnel->state() != TunnelState::kSentStopCcn &&
                      tunnel->state() != TunnelState::kReceivedStopCcn)) {
        since_.erase(id);
        continue;
      }
      const Clock::TimePoint since = since_.emplace(id, now).first->second;
      if (now - since > CTunnel::kStopCcnLimit + CTunnel::kDestroyDelay) return false;
    }
    return true;
  }

 private:
  std::map<uint16_t, Clock::TimePoint> since_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  velmora::SimulatedClock clock;
  ServerLog log(clock, [](std::string) {});
  NullTransport transport;
  // 127.0.0.1 without a tunnel secret, 127.0.0.2 with one.
  const L2tpPeer open_peer{velmora::DottedToAddress("127.0.0.1"), {}};
  const L2tpPeer secret_peer{velmora::DottedToAddress("127.0.0.2"), {'s', 'e', 'c', 'r', 'e', 't'}};
  ServerContext server{clock,
                       log,
                       transport,
                       TimerService(clock),
                       AddressPool(velmora::DottedToAddress("10.0.0.0"), 65536),
                       "lns",
                       {.tunnels = 8, .sessions_per_tunnel = 4, .sessions = 16},
                       [&](uint32_t address) -> std::optional<L2tpPeer> {
                         if (address == open_peer.address) return open_peer;
                         if (address == secret_peer.address) return secret_peer;
                         return std::nullopt;
                       },
                       [](CSession&) { return std::make_unique<NullLink>(); }};
  // Zero randomness: every tunnel and session ID is the lowest free one, so that the input can
  // name the tunnels it opened.
  server.random_bytes = [](std::span<uint8_t> out) { std::fill(out.begin(), out.end(), 0); };
  {
    CTunnelList list(server);
    TunnelWatch watch;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    // Each record: a control byte (sender in the top two bits, then seconds to pass), a length in
    // 4-byte units, then the datagram. Sender 1 is the open peer sending a burst.
    for (size_t at = 0; at + 2 <= size;) {
      const uint8_t control = data[at];
      const size_t length = std::min<size_t>(data[at + 1] * 4u, size - at - 2);
      static const char* const kSenders[] = {"127.0.0.1", "127.0.0.1", "127.0.0.2", "127.0.0.3"};
      from.sin_addr.s_addr = velmora::DottedToAddress(kSenders[control >> 6]);
      std::vector<uint8_t> datagram(data + at + 2, data + at + 2 + length);
      if (control >> 6 == 1) {
        SendBurst(list, datagram, from);
      } else {
        list.HandleDatagram(datagram, from);
      }
      clock.Advance(std::chrono::milliseconds((control & 0x3f) * 1000));
      server.timers.RunDue();
      list.Reap();
      if (server.pool.in_use() != server.sessions || server.sessions > 16) __builtin_trap();
      if (list.count() > 8 || !watch.Check(list, 8, clock.Now())) __builtin_trap();
      at += 2 + length;
    }
    list.ShutdownAll("Server shutdown");
  }
  if (server.pool.in_use() != 0 || server.sessions != 0 || server.timers.size() != 0) {
    __builtin_trap();
  }
  return 0;
}
