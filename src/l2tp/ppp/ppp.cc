#include "l2tp/ppp/ppp.h"

#include <cstdio>
#include <cstring>

namespace velmora::l2tp {

namespace {

constexpr uint8_t kHeaderMac[6] = {0x02, 0x02, 0x02, 0x02, 0x02, 0x02};
constexpr size_t kIpv4HeaderSize = 20;
constexpr size_t kIpv4SourceAt = 12;

std::string AddressText(uint32_t address) {
  const auto* b = reinterpret_cast<const uint8_t*>(&address);
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return text;
}

}  // namespace

CPpp::CPpp(PppServer& server, PppCall& call)
    : server_(server), call_(call), lcp_(*this, server.timers, server.log, server.random_bytes) {
  lcp_.Start();
}

CPpp::~CPpp() = default;

void CPpp::Input(std::span<uint8_t> frame) {
  if (frame.size() < 4) return;
  if (frame[0] == 0xFF && frame[1] == 0x03) frame = frame.subspan(2);  // 2 bytes at least remain
  const size_t protocol_size = frame[0] & 1 ? 1 : 2;
  const uint16_t protocol =
      protocol_size == 1 ? frame[0] : static_cast<uint16_t>(frame[0] << 8 | frame[1]);
  const std::span<uint8_t> packet = frame.subspan(protocol_size);
  if (protocol == kProtocolLcp) {
    lcp_.Input(packet);
  } else if (lcp_.fsm().state() != FsmState::kOpened) {
    return;
  } else if (protocol == kProtocolPap) {
    if (pap_) pap_->Input(packet);
  } else if (protocol == kProtocolChap) {
    if (chap_) chap_->Input(packet);
  } else if (phase_ < PppPhase::kNetwork || phase_ == PppPhase::kTerminate) {
    return;
  } else if (protocol == kProtocolIpcp) {
    HandleIpcp(packet);
  } else if (phase_ != PppPhase::kRunning) {
    return;
  } else if (protocol == kProtocolIp) {
    Deliver(packet);
  } else if (protocol == kProtocolCcp) {
    lcp_.RejectProtocol(frame);
  }
}

void CPpp::HandleIpcp(std::span<const uint8_t> packet) {
  if (!ipcp_) {
    IpcpEvents& events = *this;
    ipcp_ = std::make_unique<CIpcp>(events, server_.timers, server_.log, server_.local_address,
                                    call_.pool_address());
    ipcp_->Start();
  }
  ipcp_->Input(packet);
}

void CPpp::Deliver(std::span<const uint8_t> ip) {
  if (!server_.deliver) return;
  const uint32_t user = ipcp_->peer_address();
  if (ip.size() < kIpv4HeaderSize || (ip[0] >> 4) != 4 ||
      std::memcmp(&ip[kIpv4SourceAt], &user, 4) != 0) {
    ++refused_packets_;
    server_.log.FrequentError("foreign source", "IP packet not from the user's address " +
                                                    AddressText(user) + " dropped");
    return;
  }
  if (!server_.delivery_header) {
    server_.deliver(ip.data(), static_cast<uint32_t>(ip.size()));
    return;
  }
  std::vector<uint8_t>& delivery = server_.delivery_buffer;
  delivery.resize(kDeliveryHeaderSize + ip.size());
  uint8_t* header = delivery.data();
  std::memcpy(header, &server_.header_address, 4);
  header[4] = ',';
  header[5] = static_cast<uint8_t>(server_.header_pid >> 8);
  header[6] = static_cast<uint8_t>(server_.header_pid);
  header[7] = ',';
  std::memcpy(header + 8, kHeaderMac, 6);
  std::memcpy(header + 14, kHeaderMac, 6);
  header[20] = 0x08;
  header[21] = 0x00;
  std::memcpy(header + kDeliveryHeaderSize, ip.data(), ip.size());
  server_.deliver(delivery.data(), static_cast<uint32_t>(delivery.size()));
}

void CPpp::LcpUp() {
  StartAuthentication();
}

void CPpp::LcpDown() {
  // A login in progress ends with the link: the next LcpUp starts it again.
  if (pap_) pap_->Stop();
  if (chap_) chap_->Stop();
  if (ipcp_) ipcp_->LowerDown();
  if (phase_ != PppPhase::kDead) phase_ = PppPhase::kTerminate;
}

void CPpp::LcpFinished() {
  phase_ = PppPhase::kDead;
  // A failed login frees its address: each further guess costs a new call.
  if (authentication_failed_) call_.Clear("Authentication failed");
}

AuthenticationParts CPpp::Authentication() {
  return {server_.timers,
          server_.log,
          [this](std::span<const uint8_t> frame) { Output(frame); },
          server_.password_of,
          server_.random_bytes,
          [this](bool success) { Authenticated(success); }};
}

void CPpp::StartAuthentication() {
  const LcpOptions& agreed = lcp_.got();
  if (!agreed.chap && !agreed.pap) {
    lcp_.Close("peer refused to authenticate");
    return;
  }
  phase_ = PppPhase::kAuthenticate;
  if (agreed.chap) {
    if (!chap_) chap_ = std::make_unique<CChap>(Authentication(), server_.host_name);
    chap_->Start();
  } else {
    if (!pap_) pap_ = std::make_unique<CPap>(Authentication());
    pap_->Start();
  }
}

void CPpp::Authenticated(bool success) {
  if (!success) {
    if (server_.logins) ++server_.logins->refused;
    authentication_failed_ = true;
    lcp_.Close("Authentication failed");
    return;
  }
  // One method runs per login, so its success ends the authentication.
  if (phase_ != PppPhase::kAuthenticate) return;
  if (server_.logins) ++server_.logins->accepted;
  phase_ = PppPhase::kNetwork;
  // A link that was renegotiated: its IPCP waits again for the user's request.
  if (ipcp_) ipcp_->LowerUp();
}

}  // namespace velmora::l2tp
