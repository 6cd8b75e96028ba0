#include "l2tp/session_ppp.h"

#include "l2tp/session.h"
#include "l2tp/tunnel.h"

namespace velmora::l2tp {

void SessionPpp::SendFrame(std::span<const uint8_t> frame) {
  session_.SendPppFrame(frame);
}

void SessionPpp::Clear(const std::string& reason) {
  if (!session_.closing()) session_.SendCdn(2, 0, reason);
}

uint32_t SessionPpp::pool_address() const {
  return session_.address();
}

bool SessionPpp::AddressOfAnotherCall(uint32_t address) const {
  return address != session_.address() && session_.tunnel().server().pool.InUse(address);
}

}  // namespace velmora::l2tp
