// PPP frames from a user into one server link, with time passing between them. The first byte
// picks a scripted start: odd, a PAP login up to phase running, so that the frames reach IPCP and
// the delivery (every delivered packet then goes through the router's resolution as the L2TP
// source does it); with bit 1 instead, LCP opened with PAP (or with bit 2 CHAP) and the login
// left waiting, so that the frames can renegotiate during it. A record's control byte may also
// acknowledge the server's latest LCP (bit 6) or IPCP (bit 7) Configure-Request after its frame,
// which lets renegotiations complete. Nothing crashes, no frame goes out past the MRU, the call
// is cleared at most once, only packets from the user's address are delivered, the user keeps
// no address he may not have, and the link leaves no timer and no kept address behind.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "l2tp/address_pool.h"
#include "l2tp/ppp/ppp.h"
#include "packet/l2tp_datagram.h"
#include "platform/address_text.h"

namespace {

using namespace velmora::l2tp;

const uint32_t kPoolAddress = velmora::DottedToAddress("10.9.0.1");
const uint32_t kServerAddress = velmora::DottedToAddress("10.9.0.254");
const uint32_t kOtherCallsOwn = velmora::DottedToAddress("10.1.9.9");

// Whether a user may be acknowledged `address` as his own in a pool where another call holds
// 10.9.0.2 and keeps 10.1.9.9.
bool MayKeep(uint32_t address) {
  const uint8_t first = reinterpret_cast<const uint8_t*>(&address)[0];
  return address == kPoolAddress ||
         (first != 0 && first != 127 && first < 224 && address != kServerAddress &&
          address != velmora::DottedToAddress("10.9.0.2") && address != kOtherCallsOwn);
}

class FuzzCall final : public PppCall {
 public:
  FuzzCall(CallAddresses& addresses, uint32_t& user_address)
      : addresses_(addresses), user_address_(user_address) {}
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
  uint32_t pool_address() const override { return kPoolAddress; }
  bool AddressOfAnotherCall(uint32_t address) const override {
    return addresses_.OfAnotherCall(address);
  }
  void KeepAddress(uint32_t address) override {
    if (!MayKeep(address)) __builtin_trap();
    addresses_.Keep(address);
    user_address_ = address;
  }
  std::vector<uint8_t> lcp_request, ipcp_request;
  int clears = 0;

 private:
  CallAddresses& addresses_;
  uint32_t& user_address_;
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

// LCP opened with PAP (after a Nak that asks for it) or with CHAP; the login then waits.
void OpenLcp(CPpp& ppp, FuzzCall& call, bool pap) {
  Send(ppp, kProtocolLcp, 1, 1, {});
  if (pap) {
    Send(ppp, kProtocolLcp, 3, call.lcp_request.size() > 3 ? call.lcp_request[3] : 0,
         {3, 4, 0xc0, 0x23});
  }
  Acknowledge(ppp, call.lcp_request);
  if (ppp.phase() != PppPhase::kAuthenticate) __builtin_trap();  // the script no longer opens
}

// LCP with PAP, PAP as ann and IPCP with the pool address.
void LogIn(CPpp& ppp, FuzzCall& call) {
  OpenLcp(ppp, call, true);
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
  // The address IPCP acknowledged last: the only source the link may deliver from.
  uint32_t user = kPoolAddress;
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
  AddressPool pool(kPoolAddress, 4);
  pool.Allocate();  // this call's 10.9.0.1
  pool.Allocate();  // another call's 10.9.0.2
  CallAddresses other_call(pool, velmora::DottedToAddress("10.9.0.2"));
  other_call.Keep(kOtherCallsOwn);
  uint32_t kept = 0;
  {
    CallAddresses addresses(pool, kPoolAddress);
    FuzzCall call(addresses, user);
    CPpp ppp(server, call);
    if (data[0] & 1) {
      LogIn(ppp, call);
    } else if (data[0] & 2) {
      OpenLcp(ppp, call, !(data[0] & 4));
    }
    // Each record: a control byte (seconds to pass, acknowledgements), a length byte, the frame.
    for (size_t at = 1; at + 2 <= size;) {
      const uint8_t control = data[at];
      const size_t length = std::min<size_t>(data[at + 1], size - at - 2);
      std::vector<uint8_t> frame(data + at + 2, data + at + 2 + length);
      ppp.Input(frame);
      if (control & 0x40) Acknowledge(ppp, call.lcp_request);
      if (control & 0x80) Acknowledge(ppp, call.ipcp_request);
      clock.Advance(std::chrono::seconds(control & 0x3f));
      timers.RunDue();
      at += 2 + length;
    }
    kept = addresses.kept();
  }
  if (timers.size() != 0) __builtin_trap();             // the link's timers went with it
  if (kept != 0 && pool.InUse(kept)) __builtin_trap();  // what the user kept went with the call
  if (pool.in_use() != 2 || !pool.InUse(kOtherCallsOwn)) __builtin_trap();
  return 0;
}
