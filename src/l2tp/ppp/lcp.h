#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "l2tp/ppp/fsm.h"
#include "l2tp/ppp/ppp_frame.h"

namespace velmora::l2tp {

inline constexpr uint8_t kChapMd5 = 5;

// The LCP options of one direction that this server deals in.
struct LcpOptions {
  bool mru = false, accm = false, pap = false, chap = false, magic = false, pfc = false,
       acfc = false;
  uint16_t mru_value = 1500;
  uint32_t accm_value = 0;
  uint32_t magic_value = 0;
};

// What the link learns from LCP.
class LcpEvents {
 public:
  virtual ~LcpEvents() = default;
  virtual void LcpUp() = 0;
  virtual void LcpDown() = 0;
  virtual void LcpFinished() = 0;
  virtual void Output(std::span<const uint8_t> frame) = 0;
};

// LCP of the server's side of a link: it waits for the user's request, asks for ACCM 0, CHAP
// with MD5 (or PAP), a magic number, PFC and ACFC, accepts what RFC 1661 lets a user ask of it,
// answers Echo-Requests and detects loop-backs. Magic numbers are never 0, and a user's 0 is
// Nak'd with one (Rejected once he has disagreed Max-Failure times). Owned by the link; server
// thread only.
class CLcp final : public FsmOwner {
 public:
  static constexpr int kLoopbackLimit = 10;
  static constexpr uint16_t kMinimumMru = 128;
  static constexpr int kMagicDraws = 4;

  CLcp(LcpEvents& events, TimerService& timers, ServerLog& log,
       std::function<void(std::span<uint8_t>)> random_bytes);

  // Opens passive and silent and signals the lower layer up: LCP then waits in Stopped.
  void Start();
  void Close(const std::string& reason);
  void Input(std::span<const uint8_t> packet) { fsm_.Input(packet); }
  // An LCP Protocol-Reject of `frame` (from its protocol field on).
  void RejectProtocol(std::span<const uint8_t> frame);

  const LcpOptions& got() const { return got_; }
  const LcpOptions& his() const { return his_; }
  const CFsm& fsm() const { return fsm_; }

  void ResetRequest() override;
  void AddOptions(std::vector<uint8_t>& out, size_t room) override;
  bool NakCheck(std::span<const uint8_t> options) override;
  bool RejectCheck(std::span<const uint8_t> options) override;
  uint8_t RequestCheck(std::span<const uint8_t> options, std::vector<uint8_t>& answer,
                       bool reject_if_disagree) override;
  void Up() override;
  void Down() override;
  void Finished() override { events_.LcpFinished(); }
  bool ExtendedCode(uint8_t code, uint8_t id, std::span<const uint8_t> data) override;
  void Output(std::span<const uint8_t> frame) override { events_.Output(frame); }

 private:
  // A magic number of ours: random and never 0.
  uint32_t NewMagic();
  // A magic number to suggest to the user: never 0 and never ours.
  uint32_t MagicForPeer();

  LcpEvents& events_;
  std::function<void(std::span<uint8_t>)> random_bytes_;
  CFsm fsm_;
  LcpOptions wanted_;
  LcpOptions got_;
  LcpOptions his_;
  int loops_ = 0;
};

}  // namespace velmora::l2tp
