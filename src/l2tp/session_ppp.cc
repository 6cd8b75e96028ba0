#include "l2tp/session_ppp.h"

#include "l2tp/session.h"
#include "l2tp/tunnel.h"

namespace velmora::l2tp {

SessionPpp::SessionPpp(CSession& session, PppServer& server)
    : session_(session),
      addresses_(session.tunnel().server().pool, session.address()),
      ppp_(server, *this) {}

void SessionPpp::SendFrame(std::span<const uint8_t> frame) {
  session_.SendPppFrame(frame);
}

void SessionPpp::Clear(const std::string& reason) {
  if (!session_.closing()) session_.SendCdn(2, 0, reason);
}

uint32_t SessionPpp::pool_address() const {
  return session_.address();
}

}  // namespace velmora::l2tp
