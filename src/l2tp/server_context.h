#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "l2tp/address_pool.h"
#include "support/server_log.h"
#include "support/timer_service.h"

namespace velmora::l2tp {

class CSession;

// Random bytes from the system (getrandom), so that identifiers and challenges cannot be guessed.
void RandomBytes(std::span<uint8_t> out);

// A peer allowed to open tunnels, with its tunnel secret (empty: none).
struct L2tpPeer {
  uint32_t address = 0;  // network order
  std::vector<uint8_t> secret;
};

// Where the server's datagrams go: its UDP socket, or a recorder in tests.
class L2tpTransport {
 public:
  virtual ~L2tpTransport() = default;
  // 0 when sent, otherwise the socket error code.
  virtual int32_t Send(const sockaddr_in& to, std::span<const uint8_t> datagram) = 0;
};

// The PPP side of one session: gets the frames the peer sends (without 0xFF 0x03), writable so that
// secrets in them can be wiped.
class SessionLink {
 public:
  virtual ~SessionLink() = default;
  virtual void HandleFrame(std::span<uint8_t> frame) = 0;
};
using LinkFactory = std::function<std::unique_ptr<SessionLink>(CSession& session)>;

// Paces the answers to senders that have no tunnel (a refused SCCRQ gets one StopCCN), so that a
// forged source address cannot use the server as a reflector: a token bucket of kBurst answers,
// refilled at kPerSecond on the server's clock. Server thread only.
class StrangerAnswers {
 public:
  static constexpr int kPerSecond = 10;
  static constexpr int kBurst = 10;

  // Whether an answer may go at `now`; it then takes its token.
  bool Take(Clock::TimePoint now);

 private:
  int tokens_ = kBurst;
  std::optional<Clock::TimePoint> refilled_;  // none before the first answer
};

struct ServerLimits {
  size_t tunnels = 4096;
  size_t sessions_per_tunnel = 1024;
  size_t sessions = 65536;
};

// Everything of one server run that tunnels and sessions share. Server thread only.
struct ServerContext {
  Clock& clock;
  ServerLog& log;
  L2tpTransport& transport;
  TimerService timers;
  AddressPool pool;
  std::string host_name;
  ServerLimits limits;
  std::function<std::optional<L2tpPeer>(uint32_t address)> find_peer;
  LinkFactory link_factory;   // may be empty: frames are then dropped
  size_t sessions = 0;        // in all tunnels
  bool reap_pending = false;  // a tunnel finished or a session sent CDN since the last reap
  // Identifiers and challenges; the system's random source unless a test fixes them.
  std::function<void(std::span<uint8_t>)> random_bytes = RandomBytes;
  StrangerAnswers stranger_answers;
};

// Whether `to`, which has no tunnel, may be answered now; an answer withheld is counted in the
// log, at most one line a second.
bool MayAnswerStranger(ServerContext& server, const sockaddr_in& to);

// A random identifier of 1 to 32767 for which `in_use` is false, found in bounded time; 0 when
// every one is in use.
uint16_t RandomFreeId(const ServerContext& server, const std::function<bool(uint16_t)>& in_use);

}  // namespace velmora::l2tp
