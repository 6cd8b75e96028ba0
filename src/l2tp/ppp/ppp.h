#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "l2tp/ppp/chap.h"
#include "l2tp/ppp/ipcp.h"
#include "l2tp/ppp/lcp.h"
#include "l2tp/ppp/pap.h"

namespace velmora::l2tp {

inline constexpr uint16_t kProtocolIp = 0x0021;
inline constexpr uint16_t kProtocolCcp = 0x80FD;
inline constexpr size_t kDeliveryHeaderSize = 22;

// Receives a user's IPv4 packet (behind the delivery header when one is asked for); the bytes
// are valid during the call only.
using IpPacketCallback = std::function<void(const uint8_t* bytes, uint32_t length)>;

// The logins of a server run: written by the server thread, read from any thread.
struct LoginCounts {
  std::atomic<uint64_t> accepted{0};
  std::atomic<uint64_t> refused{0};
};

// What every link of a server run shares. Addresses in network order.
struct PppServer {
  TimerService& timers;
  ServerLog& log;
  std::string host_name;  // the name in our CHAP challenges
  uint32_t local_address = 0;
  // The 22-byte header in front of each delivered packet: QoS address, ",", the PID, ",", both
  // MACs 02:02:02:02:02:02 and EtherType 0x0800.
  bool delivery_header = false;
  uint16_t header_pid = 0;
  uint32_t header_address = 0;
  IpPacketCallback deliver;  // absent: IP packets are dropped
  std::function<std::optional<std::string>(const std::string& name)> password_of;
  std::function<void(std::span<uint8_t>)> random_bytes;
  std::vector<uint8_t> delivery_buffer;  // the packet being delivered, shared by the links
  LoginCounts* logins = nullptr;         // absent: logins are not counted
};

// The call a link runs over (an L2TP session here).
class PppCall {
 public:
  virtual ~PppCall() = default;
  // A frame to the user, from its protocol field on.
  virtual void SendFrame(std::span<const uint8_t> frame) = 0;
  // Ends the call after a failed login, with the reason.
  virtual void Clear(const std::string& reason) = 0;
  virtual uint32_t pool_address() const = 0;
  // Whether `address` is held by another live call: its pool address or its user's own.
  virtual bool AddressOfAnotherCall(uint32_t address) const = 0;
  // The user now has `address` (his pool address or one of his own, or 0): no other call may be
  // given it while he keeps it.
  virtual void KeepAddress(uint32_t address) = 0;
};

enum class PppPhase {
  kDead = 0,
  kEstablish = 4,
  kAuthenticate = 5,
  kNetwork = 7,
  kRunning = 8,
  kTerminate = 9
};

// The server's side of one PPP link (RFC 1661): LCP waits for the user, the user authenticates
// with CHAP or PAP, IPCP gives him his address and his IP packets then go to the server's
// callback. Demultiplexes the user's frames by protocol and phase. Owned by its call; server
// thread only.
class CPpp final : private LcpEvents, private IpcpEvents {
 public:
  CPpp(PppServer& server, PppCall& call);
  ~CPpp() override;

  // A frame from the user (0xFF 0x03 optional); writable, so that a PAP password is wiped.
  void Input(std::span<uint8_t> frame);

  PppPhase phase() const { return phase_; }
  const CLcp& lcp() const { return lcp_; }
  const CIpcp* ipcp() const { return ipcp_.get(); }
  // IP packets dropped because their source was not the user's address.
  uint64_t refused_packets() const { return refused_packets_; }

 private:
  void LcpUp() override;
  void LcpDown() override;
  void LcpFinished() override;
  void IpcpUp() override { phase_ = PppPhase::kRunning; }
  void IpcpDown() override { phase_ = PppPhase::kNetwork; }
  void IpcpFinished() override { lcp_.Close("No network protocols running"); }
  void Output(std::span<const uint8_t> frame) override { call_.SendFrame(frame.subspan(2)); }
  bool AddressOfAnotherCall(uint32_t address) const override {
    return call_.AddressOfAnotherCall(address);
  }
  void AddressAcknowledged(uint32_t address) override { call_.KeepAddress(address); }

  void StartAuthentication();
  AuthenticationParts Authentication();
  void Authenticated(bool success);
  void HandleIpcp(std::span<const uint8_t> packet);
  void Deliver(std::span<const uint8_t> ip);

  PppServer& server_;
  PppCall& call_;
  PppPhase phase_ = PppPhase::kEstablish;
  CLcp lcp_;
  std::unique_ptr<CIpcp> ipcp_;
  std::unique_ptr<CPap> pap_;
  std::unique_ptr<CChap> chap_;
  bool authentication_failed_ = false;
  uint64_t refused_packets_ = 0;
};

}  // namespace velmora::l2tp
