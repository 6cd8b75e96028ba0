#pragma once

#include <span>
#include <string>

#include "l2tp/address_pool.h"
#include "l2tp/ppp/ppp.h"
#include "l2tp/server_context.h"

namespace velmora::l2tp {

// The PPP link of one session: frames from the user go to its CPpp, frames from the CPpp go out
// in the session, a failed login clears the call, and the address of his own the user keeps is
// held in the server's pool while the session lives. Owned by the session; server thread only.
class SessionPpp final : public SessionLink, private PppCall {
 public:
  SessionPpp(CSession& session, PppServer& server);

  void HandleFrame(std::span<uint8_t> frame) override { ppp_.Input(frame); }
  const CPpp& ppp() const { return ppp_; }

 private:
  void SendFrame(std::span<const uint8_t> frame) override;
  void Clear(const std::string& reason) override;
  uint32_t pool_address() const override;
  bool AddressOfAnotherCall(uint32_t address) const override {
    return addresses_.OfAnotherCall(address);
  }
  void KeepAddress(uint32_t address) override { addresses_.Keep(address); }

  CSession& session_;
  CallAddresses addresses_;  // before the link, which tells it what the user keeps
  CPpp ppp_;
};

}  // namespace velmora::l2tp
