// PPP frames from a user into one server link, with time passing between them. With the first
// byte odd the link is first brought up to phase running by a scripted PAP login, so that the
// frames reach IPCP and the delivery; every delivered packet then goes through the router's
// resolution as the L2TP source does it. Nothing crashes, no frame goes out past the MRU, the
// call is cleared at most once and only packets from the user's address are delivered.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "l2tp/ppp/ppp.h"
#include "packet/l2tp_datagram.h"
#include "platform/address_text.h"

namespace {

using namespace velmora::l2tp;

class FuzzCall final : public PppCall {
 public:
  void SendFrame(std::span<const uint8_t> frame) override {
    if (frame.size() > 2 + 4 + 4096) __builtin_trap();
    // The server's latest Configure-Requests, for the scripted login to acknowledge.
    if (frame.size() >= 6 && frame[2] == 1) {
      const uint16_t protocol = static_cast<uint16_t>(frame[0] << 8 | frame[1]);
      if (protocol == kProtocolLcp) lcp_request.assign(frame.begin(), frame.end());
      if (protocol == kProtocolIpcp) ipcp_request.assign(frame.begin(), frame.end());
    }
  }
  void Clear(const std::string&) override {
    if (++clears > 1) __builtin_trap();
  }
  uint32_t pool_address() const override { return velmora::DottedToAddress("10.9.0.1"); }
  bool AddressOfAnotherCall(uint32_t address) const override {
    return address == velmora::DottedToAddress("10.9.0.2");
  }
  std::vector<uint8_t> lcp_request, ipcp_request;
  int clears = 0;
};

void Send(CPpp& ppp, uint16_t protocol, uint8_t code, uint8_t id, std::vector<uint8_t> data) {
  std::vector<uint8_t> frame = {
      static_cast<uint8_t>(protocol >> 8),  static_cast<uint8_t>(protocol), code, id, 0,
      static_cast<uint8_t>(4 + data.size())};
  frame.insert(frame.end(), data.begin(), data.end());
  ppp.Input(frame);
}

// The user's Configure-Ack of a request of the server: the same packet with code 2.
void Acknowledge(CPpp& ppp, std::vector<uint8_t> request) {
  if (request.size() < 6) return;
  request[2] = 2;
  ppp.Input(request);
}

// LCP (with a Nak that asks PAP), PAP as ann and IPCP with the pool address.
void LogIn(CPpp& ppp, FuzzCall& call) {
  Send(ppp, kProtocolLcp, 1, 1, {});
  Send(ppp, kProtocolLcp, 3, call.lcp_request.size() > 3 ? call.lcp_request[3] : 0,
       {3, 4, 0xc0, 0x23});
  Acknowledge(ppp, call.lcp_request);
  Send(ppp, kProtocolPap, 1, 1, {3, 'a', 'n', 'n', 6, 's', 'e', 'c', 'r', 'e', 't'});
  Send(ppp, kProtocolIpcp, 1, 1, {3, 6, 10, 9, 0, 1});
  Acknowledge(ppp, call.ipcp_request);
  if (ppp.phase() != PppPhase::kRunning) __builtin_trap();  // the script no longer logs in
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  velmora::SimulatedClock clock;
  velmora::ServerLog log(clock, [](std::string) {});
  velmora::TimerService timers(clock);
  velmora::TableSnapshot tables;
  tables.InsertSubnet({.id = 1,
                       .IPSubNetAddr = velmora::DottedToAddress("192.168.0.0"),
                       .IPSubNetMask = velmora::DottedToAddress("255.255.0.0"),
                       .IPSubNetPID = 0x0123});
  tables.InsertIpMacRow({.address = velmora::DottedToAddress("192.168.5.7"),
                         .mac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55},
                         .subnet = 1});
  const uint32_t user = velmora::DottedToAddress("10.9.0.1");
  PppServer server{
      .timers = timers,
      .log = log,
      .host_name = "lns",
      .local_address = velmora::DottedToAddress("10.9.0.254"),
      .delivery_header = true,
      .header_pid = 5,
      .header_address = velmora::DottedToAddress("127.0.0.1"),
      .deliver =
          [&](const uint8_t* bytes, uint32_t length) {
            std::vector<uint8_t> packet(bytes, bytes + length);
            if (length < kDeliveryHeaderSize + 20 || std::memcmp(&packet[34], &user, 4) != 0) {
              __builtin_trap();
            }
            velmora::ResolveL2tpDatagram(packet, tables);
          },
      .password_of = [](const std::string& name) -> std::optional<std::string> {
        if (name == "ann") return "secret";
        return std::nullopt;
      },
      .random_bytes = [](std::span<uint8_t> out) { std::memset(out.data(), 0x42, out.size()); }};
  FuzzCall call;
  {
    CPpp ppp(server, call);
    if (data[0] & 1) LogIn(ppp, call);
    // Each record: a control byte (seconds to pass), a length byte, then the frame.
    for (size_t at = 1; at + 2 <= size;) {
      const size_t length = std::min<size_t>(data[at + 1], size - at - 2);
      std::vector<uint8_t> frame(data + at + 2, data + at + 2 + length);
      ppp.Input(frame);
      clock.Advance(std::chrono::seconds(data[at] & 0x3f));
      timers.RunDue();
      at += 2 + length;
    }
  }
  if (timers.size() != 0) __builtin_trap();  // the link's timers went with it
  return 0;
}
