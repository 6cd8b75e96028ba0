// A whole PPP link of the server (CPpp with LCP, CHAP/PAP and IPCP) against a scripted user:
// byte-exact frames through the phases up to the delivery of the user's IP packets.

#include "l2tp/ppp/ppp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "support/md5.h"

namespace velmora::l2tp {
namespace {

using Bytes = std::vector<uint8_t>;
using std::chrono::seconds;

uint32_t Ip(const char* dotted) {
  return inet_addr(dotted);
}

class RecordingCall final : public PppCall {
 public:
  void SendFrame(std::span<const uint8_t> frame) override {
    sent.emplace_back(frame.begin(), frame.end());
  }
  void Clear(const std::string& reason) override { cleared.push_back(reason); }
  uint32_t pool_address() const override { return pool; }
  bool AddressOfAnotherCall(uint32_t address) const override { return taken.contains(address); }
  void KeepAddress(uint32_t address) override { kept.push_back(address); }

  std::vector<Bytes> sent;  // from the protocol field on
  std::vector<std::string> cleared;
  uint32_t pool = Ip("10.9.0.1");
  // Another call's pool address and another user's own.
  std::set<uint32_t> taken = {Ip("10.9.0.2"), Ip("10.1.9.9")};
  std::vector<uint32_t> kept;  // each acknowledged address in turn
};

class PppLinkTest : public ::testing::Test {
 protected:
  PppServer Server() {
    return {.timers = timers_,
            .log = log_,
            .host_name = "lns",
            .local_address = Ip("10.9.0.254"),
            .delivery_header = true,
            .header_pid = 5,
            .header_address = Ip("127.0.0.1"),
            .deliver = [this](const uint8_t* b, uint32_t n) { delivered_.emplace_back(b, b + n); },
            .password_of = [this](const std::string& name) -> std::optional<std::string> {
              const auto found = users_.find(name);
              if (found == users_.end()) return std::nullopt;
              return found->second;
            },
            .random_bytes =
                [](std::span<uint8_t> out) {
                  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i);
                },
            .logins = &logins_};
  }
  // A control packet of the user in protocol `protocol`, with 0xFF 0x03 in front.
  void User(uint16_t protocol, uint8_t code, uint8_t id, const Bytes& data) {
    Bytes frame = {
        0xff, 0x03, static_cast<uint8_t>(protocol >> 8),  static_cast<uint8_t>(protocol), code,
        id,   0,    static_cast<uint8_t>(4 + data.size())};
    frame.insert(frame.end(), data.begin(), data.end());
    ppp_.Input(frame);
  }
  void Raw(Bytes frame) { ppp_.Input(frame); }
  std::vector<Bytes> Sent() {
    std::vector<Bytes> out(call_.sent.begin() + static_cast<long>(seen_), call_.sent.end());
    seen_ = call_.sent.size();
    return out;
  }
  // The data of a sent control packet (after protocol, code, id and length).
  static Bytes Data(const Bytes& frame) { return {frame.begin() + 6, frame.end()}; }
  static std::string Text(const Bytes& frame, size_t from) {
    return {frame.begin() + from, frame.end()};
  }
  void Run(Clock::Duration d) {
    for (Clock::Duration done{}; done < d; done += std::chrono::milliseconds(500)) {
      clock_.Advance(std::chrono::milliseconds(500));
      timers_.RunDue();
    }
  }

  // LCP up to Opened; `request` is the user's Configure-Request options.
  void OpenLcp(const Bytes& request = {5, 6, 1, 2, 3, 4, 7, 2, 8, 2}) {
    User(kProtocolLcp, 1, 1, request);
    const std::vector<Bytes> sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    User(kProtocolLcp, 2, sent[0][3], Data(sent[0]));
    ASSERT_EQ(ppp_.lcp().fsm().state(), FsmState::kOpened);
  }
  // LCP to Opened with PAP: the user's request, his Nak of CHAP for PAP and his Ack; from Opened
  // this is a renegotiation.
  void OpenLcpWithPap(uint8_t id = 1) {
    User(kProtocolLcp, 1, id, {7, 2});
    std::vector<Bytes> sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    User(kProtocolLcp, 3, sent[0][3], {3, 4, 0xc0, 0x23});
    sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    User(kProtocolLcp, 2, sent[0][3], Data(sent[0]));
    ASSERT_EQ(ppp_.lcp().fsm().state(), FsmState::kOpened);
    ASSERT_EQ(ppp_.phase(), PppPhase::kAuthenticate);
  }
  size_t Logged(const std::string& text) const {
    return static_cast<size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const auto& line) {
      return line.find(text) != std::string::npos;
    }));
  }
  // CHAP with the right answer for ann.
  void LogInWithChap() {
    OpenLcp();
    const std::vector<Bytes> challenge = Sent();
    ASSERT_EQ(challenge.size(), 1u);
    const Bytes& c = challenge[0];
    ASSERT_EQ((Bytes{c[0], c[1], c[2]}), (Bytes{0xc2, 0x23, 1}));
    const uint8_t id = c[3];
    const std::span<const uint8_t> value(&c[7], c[6]);
    const uint8_t id_byte[1] = {id};
    const std::string secret = "secret";
    const Md5Digest digest =
        Md5()
            .Update(id_byte)
            .Update({reinterpret_cast<const uint8_t*>(secret.data()), secret.size()})
            .Update(value)
            .Final();
    Bytes response = {16};
    response.insert(response.end(), digest.begin(), digest.end());
    response.insert(response.end(), {'a', 'n', 'n'});
    User(kProtocolChap, 2, id, response);
    const std::vector<Bytes> success = Sent();
    ASSERT_EQ(success.size(), 1u);
    EXPECT_EQ(Text(success[0], 6), "Welcome to Tessaro L2TP LNS server");
    ASSERT_EQ(ppp_.phase(), PppPhase::kNetwork);
  }
  // IPCP up to Opened with the user asking for `address`.
  void OpenIpcp(const char* address) {
    const uint32_t a = Ip(address);
    const auto* b = reinterpret_cast<const uint8_t*>(&a);
    User(kProtocolIpcp, 1, 1, {3, 6, b[0], b[1], b[2], b[3]});
    const std::vector<Bytes> sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    Bytes request = sent[0];
    request[3] = 0;                                       // whatever identifier
    EXPECT_EQ(request, (Bytes{0x80, 0x21, 1, 0, 0, 4}));  // we ask for nothing
    EXPECT_EQ(sent[1][2], kConfigureAck);
    User(kProtocolIpcp, 2, sent[0][3], {});
    ASSERT_EQ(ppp_.phase(), PppPhase::kRunning);
  }
  static Bytes IpPacket(const char* from, const char* to, size_t payload = 4) {
    Bytes ip = {0x45, 0, 0, static_cast<uint8_t>(20 + payload), 0, 0, 0, 0, 64, 17, 0, 0};
    const uint32_t s = Ip(from), d = Ip(to);
    ip.insert(ip.end(), reinterpret_cast<const uint8_t*>(&s),
              reinterpret_cast<const uint8_t*>(&s) + 4);
    ip.insert(ip.end(), reinterpret_cast<const uint8_t*>(&d),
              reinterpret_cast<const uint8_t*>(&d) + 4);
    for (size_t i = 0; i < payload; ++i) ip.push_back(static_cast<uint8_t>(0xa0 + i));
    return ip;
  }
  void SendIp(const Bytes& ip) {
    Bytes frame = {0xff, 0x03, 0x00, 0x21};
    frame.insert(frame.end(), ip.begin(), ip.end());
    ppp_.Input(frame);
  }

  SimulatedClock clock_;
  std::vector<std::string> lines_;
  ServerLog log_{clock_, [this](std::string line) { lines_.push_back(std::move(line)); }};
  TimerService timers_{clock_};
  std::map<std::string, std::string> users_ = {{"ann", "secret"}, {"bob", "Hunter2"}};
  std::vector<Bytes> delivered_;
  LoginCounts logins_;
  PppServer server_ = Server();
  RecordingCall call_;
  std::optional<CPpp> link_{std::in_place, server_, call_};  // reset: the call went
  CPpp& ppp_ = *link_;
  size_t seen_ = 0;
};

TEST_F(PppLinkTest, ChapLoginIpcpAndDeliveryWithTheHeader) {
  EXPECT_TRUE(call_.sent.empty());  // passive: nothing until the user speaks
  LogInWithChap();
  EXPECT_EQ(logins_.accepted, 1u);
  EXPECT_EQ(logins_.refused, 0u);
  // IP-Address 0.0.0.0: our empty request, then a Nak with the pool address.
  User(kProtocolIpcp, 1, 7, {3, 6, 0, 0, 0, 0});
  std::vector<Bytes> sent = Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0], (Bytes{0x80, 0x21, 1, 1, 0, 4}));
  EXPECT_EQ(sent[1], (Bytes{0x80, 0x21, 3, 7, 0, 10, 3, 6, 10, 9, 0, 1}));
  User(kProtocolIpcp, 1, 8, {3, 6, 10, 9, 0, 1});
  EXPECT_EQ(Sent().at(0), (Bytes{0x80, 0x21, 2, 8, 0, 10, 3, 6, 10, 9, 0, 1}));
  User(kProtocolIpcp, 2, 1, {});
  ASSERT_EQ(ppp_.phase(), PppPhase::kRunning);
  EXPECT_EQ(ppp_.ipcp()->peer_address(), Ip("10.9.0.1"));

  const Bytes ip = IpPacket("10.9.0.1", "192.168.5.7");
  SendIp(ip);
  ASSERT_EQ(delivered_.size(), 1u);
  Bytes expected = {127, 0, 0, 1, ',', 0, 5, ',', 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 0x08, 0x00};
  expected.insert(expected.end(), ip.begin(), ip.end());
  EXPECT_EQ(delivered_[0], expected);
  // Compressed protocol field and no address/control bytes.
  Bytes compressed = {0x21};
  compressed.insert(compressed.end(), ip.begin(), ip.end());
  Raw(compressed);
  EXPECT_EQ(delivered_.size(), 2u);
}

TEST_F(PppLinkTest, RefusesIpBeforeRunningForeignSourcesAndCcp) {
  SendIp(IpPacket("10.9.0.1", "192.168.5.7"));
  LogInWithChap();
  SendIp(IpPacket("10.9.0.1", "192.168.5.7"));  // IPCP not opened yet
  EXPECT_TRUE(delivered_.empty());
  OpenIpcp("10.9.0.1");
  SendIp(IpPacket("10.9.0.77", "192.168.5.7"));  // spoofed source
  SendIp({0x45, 0, 0, 20, 0, 0});                // shorter than its header
  EXPECT_TRUE(delivered_.empty());
  EXPECT_EQ(ppp_.refused_packets(), 2u);
  // CCP in phase running: LCP Protocol-Reject with the frame from its protocol on.
  User(kProtocolCcp, 1, 3, {});
  EXPECT_EQ(Sent().at(0), (Bytes{0xc0, 0x21, 8, 2, 0, 10, 0x80, 0xfd, 1, 3, 0, 4}));
  Raw({0xff, 0x03, 0x00});     // too short: nothing
  Raw({0x00, 0x57, 1, 2, 3});  // another protocol: dropped without an answer
  EXPECT_TRUE(Sent().empty());
}

TEST_F(PppLinkTest, NothingButLcpAndAuthenticationBeforeTheNetworkPhase) {
  User(kProtocolIpcp, 1, 1, {3, 6, 0, 0, 0, 0});  // LCP not opened
  OpenLcp();
  Sent();                                         // the challenge
  User(kProtocolIpcp, 1, 1, {3, 6, 0, 0, 0, 0});  // not authenticated
  User(kProtocolPap, 1, 1, {3, 'a', 'n', 'n', 6, 's', 'e', 'c', 'r', 'e', 't'});  // CHAP was agreed
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(ppp_.ipcp(), nullptr);
}

TEST_F(PppLinkTest, FailedPapLoginTerminatesLcpAndClearsTheCall) {
  // The user Naks CHAP with PAP.
  User(kProtocolLcp, 1, 1, {7, 2});
  std::vector<Bytes> sent = Sent();
  User(kProtocolLcp, 3, sent[0][3], {3, 4, 0xc0, 0x23});
  sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ((Bytes{sent[0][6], sent[0][7], sent[0][8], sent[0][9]}), (Bytes{2, 6, 0, 0}));
  EXPECT_EQ((Bytes{sent[0][12], sent[0][13], sent[0][14], sent[0][15]}), (Bytes{3, 4, 0xc0, 0x23}));
  User(kProtocolLcp, 2, sent[0][3], Data(sent[0]));
  ASSERT_EQ(ppp_.phase(), PppPhase::kAuthenticate);
  User(kProtocolPap, 1, 4, {3, 'b', 'o', 'b', 7, 'h', 'u', 'n', 't', 'e', 'r', '2'});
  sent = Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0], (Bytes{0xc0, 0x23, 3,   4,   0,   18,  13,  'A', 'c', 'c',
                            'e',  's',  's', ' ', 'd', 'e', 'n', 'i', 'e', 'd'}));
  EXPECT_EQ(sent[1][2], kTerminateRequest);
  EXPECT_EQ(Text(sent[1], 6), "Authentication failed");
  EXPECT_EQ(logins_.refused, 1u);
  EXPECT_EQ(logins_.accepted, 0u);
  EXPECT_TRUE(call_.cleared.empty());  // only once LCP has finished
  User(kProtocolLcp, kTerminateAck, sent[1][3], {});
  EXPECT_EQ(ppp_.phase(), PppPhase::kDead);
  EXPECT_EQ(call_.cleared, (std::vector<std::string>{"Authentication failed"}));
  // A dead link answers a new request as Closed does.
  User(kProtocolLcp, 1, 9, {7, 2});
  EXPECT_EQ(Sent().at(0), (Bytes{0xc0, 0x21, 6, 9, 0, 4}));
}

TEST_F(PppLinkTest, ARenegotiationDuringPapLoginWaitsAnewWithOneTimer) {
  OpenLcpWithPap();
  Run(seconds(20));
  OpenLcpWithPap(2);              // before the user sent his Authenticate-Request
  EXPECT_EQ(timers_.size(), 1u);  // PAP's wait, once
  Run(seconds(25));               // past 30 s from the first start: that wait is gone
  EXPECT_EQ(ppp_.phase(), PppPhase::kAuthenticate);
  EXPECT_TRUE(Sent().empty());
  Run(seconds(6));  // 30 s from the second start
  const std::vector<Bytes> sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0][2], kTerminateRequest);
  EXPECT_EQ(Text(sent[0], 6), "Authentication failed");
  EXPECT_EQ(Logged("PAP timed out"), 1u);
}

TEST_F(PppLinkTest, ALinkGoneDuringARenegotiatedPapLoginLeavesNoTimer) {
  OpenLcpWithPap();
  OpenLcpWithPap(2);
  link_.reset();
  EXPECT_EQ(timers_.size(), 0u);
  Run(seconds(31));  // nothing runs on the freed link (ASan)
  EXPECT_EQ(Logged("PAP timed out"), 0u);
}

TEST_F(PppLinkTest, TheUsersTerminationDuringChapLoginEndsTheChallenges) {
  OpenLcp();
  ASSERT_EQ(Sent().size(), 1u);  // the first challenge
  User(kProtocolLcp, kTerminateRequest, 9, {});
  EXPECT_EQ(Sent().at(0), (Bytes{0xc0, 0x21, 6, 9, 0, 4}));
  Run(seconds(40));
  EXPECT_TRUE(Sent().empty());  // no more challenges on the terminated link
  EXPECT_EQ(ppp_.phase(), PppPhase::kDead);
  EXPECT_TRUE(call_.cleared.empty());
  EXPECT_EQ(Logged("CHAP"), 0u);
}

TEST_F(PppLinkTest, TheUsersTerminationDuringPapLoginEndsTheWait) {
  OpenLcpWithPap();
  User(kProtocolLcp, kTerminateRequest, 9, {});
  EXPECT_EQ(Sent().at(0), (Bytes{0xc0, 0x21, 6, 9, 0, 4}));
  Run(seconds(40));
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(ppp_.phase(), PppPhase::kDead);
  EXPECT_TRUE(call_.cleared.empty());
  EXPECT_EQ(Logged("PAP timed out"), 0u);
  EXPECT_EQ(timers_.size(), 0u);
}

TEST_F(PppLinkTest, AUserWhoRejectsAuthenticationIsClosed) {
  User(kProtocolLcp, 1, 1, {7, 2});
  std::vector<Bytes> sent = Sent();
  User(kProtocolLcp, 4, sent[0][3], {3, 5, 0xc2, 0x23, 5});
  sent = Sent();
  User(kProtocolLcp, 2, sent[0][3], Data(sent[0]));
  sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0][2], kTerminateRequest);
  EXPECT_EQ(Text(sent[0], 6), "peer refused to authenticate");
  User(kProtocolLcp, kTerminateAck, sent[0][3], {});
  EXPECT_TRUE(call_.cleared.empty());  // not an authentication failure
}

TEST_F(PppLinkTest, IpcpAddressRules) {
  LogInWithChap();
  // Another call's pool address: a Nak with this call's own.
  User(kProtocolIpcp, 1, 1, {3, 6, 10, 9, 0, 2});
  std::vector<Bytes> sent = Sent();
  EXPECT_EQ(sent.at(1), (Bytes{0x80, 0x21, 3, 1, 0, 10, 3, 6, 10, 9, 0, 1}));
  // Name servers and VJ are rejected; the address is not answered in the same packet.
  User(kProtocolIpcp, 1, 2, {3, 6, 10, 1, 2, 3, 129, 6, 0, 0, 0, 0, 2, 6, 0, 0x2d, 15, 1});
  EXPECT_EQ(Sent().at(0),
            (Bytes{0x80, 0x21, 4, 2, 0, 16, 129, 6, 0, 0, 0, 0, 2, 6, 0, 0x2d, 15, 1}));
  // The old two-address form: our address 0 gets a Nak with ours.
  User(kProtocolIpcp, 1, 3, {1, 10, 10, 1, 2, 3, 0, 0, 0, 0});
  EXPECT_EQ(Sent().at(0), (Bytes{0x80, 0x21, 3, 3, 0, 14, 1, 10, 10, 1, 2, 3, 10, 9, 0, 254}));
  // An address of the user's own is acknowledged, and he keeps it.
  User(kProtocolIpcp, 1, 4, {3, 6, 10, 1, 2, 3});
  EXPECT_EQ(Sent().at(0), (Bytes{0x80, 0x21, 2, 4, 0, 10, 3, 6, 10, 1, 2, 3}));
  User(kProtocolIpcp, 2, 1, {});
  EXPECT_EQ(ppp_.ipcp()->peer_address(), Ip("10.1.2.3"));
  EXPECT_EQ(call_.kept, (std::vector<uint32_t>{Ip("10.1.2.3")}));
  SendIp(IpPacket("10.1.2.3", "192.168.5.7"));
  EXPECT_EQ(delivered_.size(), 1u);
}

TEST_F(PppLinkTest, IpcpRefusesAddressesAUserMayNotKeep) {
  LogInWithChap();
  uint8_t id = 1;
  for (const char* address :
       {"10.9.0.2", "10.1.9.9", "10.9.0.254", "127.0.0.1", "127.200.0.9", "224.0.0.1",
        "239.255.255.250", "240.0.0.1", "255.255.255.255", "0.1.2.3"}) {
    SCOPED_TRACE(address);
    const uint32_t a = Ip(address);
    const auto* b = reinterpret_cast<const uint8_t*>(&a);
    User(kProtocolIpcp, 1, ++id, {3, 6, b[0], b[1], b[2], b[3]});
    EXPECT_EQ(Sent().back(), (Bytes{0x80, 0x21, 3, id, 0, 10, 3, 6, 10, 9, 0, 1}));
    // The two-address form likewise.
    User(kProtocolIpcp, 1, ++id, {1, 10, b[0], b[1], b[2], b[3], 10, 9, 0, 254});
    EXPECT_EQ(Sent().back(), (Bytes{0x80, 0x21, 3, id, 0, 14, 1, 10, 10, 9, 0, 1, 10, 9, 0, 254}));
    // Taking the suggestion is acknowledged (and keeps the Naks below Max-Failure).
    User(kProtocolIpcp, 1, ++id, {3, 6, 10, 9, 0, 1});
    EXPECT_EQ(Sent().back()[2], kConfigureAck);
  }
  EXPECT_EQ(call_.kept, std::vector<uint32_t>(10, Ip("10.9.0.1")));
  call_.kept.clear();
  // A free address, in the pool's range or not, is the user's to keep.
  User(kProtocolIpcp, 1, ++id, {3, 6, 10, 9, 0, 3});
  EXPECT_EQ(Sent().back()[2], kConfigureAck);
  User(kProtocolIpcp, 1, ++id, {3, 6, 169, 254, 1, 1});
  EXPECT_EQ(Sent().back()[2], kConfigureAck);
  // Without an address he has his pool address again.
  User(kProtocolIpcp, 1, ++id, {});
  EXPECT_EQ(Sent().back()[2], kConfigureAck);
  EXPECT_EQ(call_.kept, (std::vector<uint32_t>{Ip("10.9.0.3"), Ip("169.254.1.1"), Ip("10.9.0.1")}));
}

TEST_F(PppLinkTest, IpcpWithoutPoolAddressRejectsZeroAndTakesNaks) {
  call_.pool = 0;
  LogInWithChap();
  User(kProtocolIpcp, 1, 1, {3, 6, 0, 0, 0, 0});
  std::vector<Bytes> sent = Sent();
  EXPECT_EQ(sent.at(1), (Bytes{0x80, 0x21, 4, 1, 0, 10, 3, 6, 0, 0, 0, 0}));
  User(kProtocolIpcp, 1, 2, {3, 6, 127, 0, 0, 1});  // an address he may not keep: rejected too
  EXPECT_EQ(Sent().at(0), (Bytes{0x80, 0x21, 4, 2, 0, 10, 3, 6, 127, 0, 0, 1}));
  // A Nak of our empty request suggesting an address for us: the next request asks for it.
  User(kProtocolIpcp, 3, sent[0][3], {3, 6, 10, 9, 0, 200});
  EXPECT_EQ(Sent().at(0), (Bytes{0x80, 0x21, 1, 2, 0, 10, 3, 6, 10, 9, 0, 200}));
  // Two address suggestions in one Nak, or a wrong length: a bad Nak, ignored.
  User(kProtocolIpcp, 3, 2, {3, 6, 1, 1, 1, 1, 3, 6, 2, 2, 2, 2});
  User(kProtocolIpcp, 3, 2, {3, 4, 1, 1});
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(ppp_.ipcp()->got().our_address, Ip("10.9.0.200"));
}

TEST_F(PppLinkTest, TheUsersIpcpTerminationClosesLcp) {
  LogInWithChap();
  OpenIpcp("10.9.0.1");
  User(kProtocolIpcp, kTerminateRequest, 5, {});
  EXPECT_EQ(Sent().at(0), (Bytes{0x80, 0x21, 6, 5, 0, 4}));
  EXPECT_EQ(ppp_.phase(), PppPhase::kNetwork);
  Run(seconds(4));  // Stopping times out: IPCP finished
  const std::vector<Bytes> sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0][2], kTerminateRequest);
  EXPECT_EQ(Text(sent[0], 6), "No network protocols running");
}

TEST_F(PppLinkTest, ARenegotiatedLinkAuthenticatesAgainAndRestartsIpcp) {
  LogInWithChap();
  OpenIpcp("10.9.0.1");
  // The user's new Configure-Request in Opened: LCP and IPCP go down, nothing is delivered.
  User(kProtocolLcp, 1, 5, {5, 6, 1, 2, 3, 4});
  const std::vector<Bytes> sent = Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(ppp_.phase(), PppPhase::kTerminate);
  EXPECT_EQ(ppp_.ipcp()->fsm().state(), FsmState::kStarting);
  SendIp(IpPacket("10.9.0.1", "192.168.5.7"));
  EXPECT_TRUE(delivered_.empty());
  User(kProtocolLcp, 2, sent[0][3], Data(sent[0]));
  ASSERT_EQ(ppp_.lcp().fsm().state(), FsmState::kOpened);
  // A new challenge; the right answer brings the link back to the network phase and IPCP waits.
  const Bytes challenge = Sent().at(0);
  ASSERT_EQ(challenge[2], 1);
  const uint8_t id_byte[1] = {challenge[3]};
  const std::string secret = "secret";
  const Md5Digest digest = Md5()
                               .Update(id_byte)
                               .Update({reinterpret_cast<const uint8_t*>(secret.data()), 6})
                               .Update({&challenge[7], challenge[6]})
                               .Final();
  Bytes response = {16};
  response.insert(response.end(), digest.begin(), digest.end());
  response.insert(response.end(), {'a', 'n', 'n'});
  User(kProtocolChap, 2, challenge[3], response);
  Sent();
  EXPECT_EQ(ppp_.phase(), PppPhase::kNetwork);
  EXPECT_EQ(ppp_.ipcp()->fsm().state(), FsmState::kStopped);
  OpenIpcp("10.9.0.1");
  SendIp(IpPacket("10.9.0.1", "192.168.5.7"));
  EXPECT_EQ(delivered_.size(), 1u);
}

}  // namespace
}  // namespace velmora::l2tp
