#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "l2tp/ppp/fsm.h"

namespace velmora::l2tp {

inline constexpr uint16_t kProtocolIpcp = 0x8021;

// What the link learns from IPCP, and what IPCP asks of it.
class IpcpEvents {
 public:
  virtual ~IpcpEvents() = default;
  virtual void IpcpUp() = 0;
  virtual void IpcpDown() = 0;
  virtual void IpcpFinished() = 0;
  virtual void Output(std::span<const uint8_t> frame) = 0;
  // Whether `address` (network order) is held by another live call: its pool address or the
  // address its user keeps as his own.
  virtual bool AddressOfAnotherCall(uint32_t address) const = 0;
  // The user's request was acknowledged with `address` (network order; his pool address when
  // he asked for none): his until another is acknowledged or the call goes.
  virtual void AddressAcknowledged(uint32_t address) = 0;
};

// The IPCP addresses of one direction (network order).
struct IpcpOptions {
  bool address = false;        // IP-Address (3)
  bool old_addresses = false;  // the two-address form, IP-Addresses (1)
  uint32_t our_address = 0;
  uint32_t his_address = 0;
};

// IPCP of the server's side of a link (RFC 1332): waits for the user's request, asks for no
// option itself, and lets the user keep an address of his own that is unicast, not loopback, not
// the server's and held by no other call; for any other address (and for 0.0.0.0) it hands him
// the pool address. No VJ compression and no name-server addresses. Owned by the link; server
// thread only.
class CIpcp final : public FsmOwner {
 public:
  // `local` is the server's address, `pool` the call's pool address (0: none).
  CIpcp(IpcpEvents& events, TimerService& timers, ServerLog& log, uint32_t local, uint32_t pool);

  // Opens passive and silent and signals the lower layer up: IPCP then waits in Stopped.
  void Start();
  void Input(std::span<const uint8_t> packet) { fsm_.Input(packet); }
  void LowerUp() { fsm_.LowerUp(); }
  void LowerDown() { fsm_.LowerDown(); }
  // The address the user has (network order): the one he was acknowledged, else the pool's.
  uint32_t peer_address() const { return his_.his_address; }
  const IpcpOptions& got() const { return got_; }
  const CFsm& fsm() const { return fsm_; }

  void ResetRequest() override { got_ = wanted_; }
  void AddOptions(std::vector<uint8_t>& out, size_t room) override;
  bool NakCheck(std::span<const uint8_t> options) override;
  bool RejectCheck(std::span<const uint8_t> options) override;
  uint8_t RequestCheck(std::span<const uint8_t> options, std::vector<uint8_t>& answer,
                       bool reject_if_disagree) override;
  void Up() override { events_.IpcpUp(); }
  void Down() override { events_.IpcpDown(); }
  void Finished() override { events_.IpcpFinished(); }
  void Output(std::span<const uint8_t> frame) override { events_.Output(frame); }

 private:
  // What the user's own address in his request gets: nullopt accepted, 0 rejected, otherwise
  // the address to suggest in a Nak.
  std::optional<uint32_t> JudgeUserAddress(uint32_t asked) const;

  IpcpEvents& events_;
  CFsm fsm_;
  IpcpOptions wanted_;
  IpcpOptions got_;
  IpcpOptions his_;
};

}  // namespace velmora::l2tp
