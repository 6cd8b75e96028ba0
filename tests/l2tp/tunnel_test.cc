// Tunnels and sessions through their transitions, driven by a scripted LAC on a simulated clock:
// every datagram the server sends is recorded and decoded.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "l2tp/avp_table.h"
#include "l2tp/datagram.h"
#include "l2tp/hidden_avp.h"
#include "l2tp/tunnel_list.h"
#include "platform/address_text.h"
#include "support/md5.h"

namespace velmora::l2tp {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Bytes = std::vector<uint8_t>;

sockaddr_in Address(const char* dotted, uint16_t port = 1701) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = DottedToAddress(dotted);
  a.sin_port = htons(port);
  return a;
}

struct Sent {
  Clock::TimePoint time;
  sockaddr_in to;
  Bytes bytes;
};

class RecordingTransport final : public L2tpTransport {
 public:
  explicit RecordingTransport(Clock& clock) : clock_(clock) {}
  int32_t Send(const sockaddr_in& to, std::span<const uint8_t> datagram) override {
    sent.push_back({clock_.Now(), to, Bytes(datagram.begin(), datagram.end())});
    return 0;
  }
  std::vector<Sent> sent;

 private:
  Clock& clock_;
};

class RecordingLink final : public SessionLink {
 public:
  explicit RecordingLink(std::vector<Bytes>& frames) : frames_(frames) {}
  void HandleFrame(std::span<uint8_t> frame) override {
    frames_.emplace_back(frame.begin(), frame.end());
  }

 private:
  std::vector<Bytes>& frames_;
};

// A decoded control message the server sent.
struct Reply {
  uint16_t type = 0;
  uint16_t tunnel = 0, session = 0, ns = 0, nr = 0;
  std::vector<std::pair<uint16_t, Bytes>> avps;  // vendor-0 type and value
  Bytes Value(uint16_t avp_type) const {
    for (const auto& [t, v] : avps) {
      if (t == avp_type) return v;
    }
    return {};
  }
  uint16_t Word(uint16_t avp_type) const {
    const Bytes v = Value(avp_type);
    return v.size() >= 2 ? static_cast<uint16_t>(v[0] << 8 | v[1]) : 0;
  }
  std::string ResultText() const {
    const Bytes v = Value(kAvpResultCode);
    return v.size() > 4 ? std::string(v.begin() + 4, v.end()) : "";
  }
};

class TunnelTest : public ::testing::Test {
 protected:
  // A control message of the LAC to `tunnel`, with its own Ns/Nr, built like the server's.
  std::unique_ptr<CDatagram> Message(uint16_t type, uint16_t tunnel, uint16_t session = 0) {
    auto m = CDatagram::NewControl(type, tunnel, session);
    if (type != kZlb)
      m->ns = lac_ns_++;
    else
      m->ns = lac_ns_;
    m->nr = lac_nr_;
    return m;
  }
  void Send(CDatagram& m, const sockaddr_in& from) {
    Bytes wire = m.WireBytes();
    list_.HandleDatagram(wire, from);
  }
  void Send(CDatagram& m) { Send(m, lac_); }

  std::unique_ptr<CDatagram> Sccrq(uint16_t lac_tunnel = 7, uint16_t window = 4) {
    auto m = Message(kSccrq, 0);
    std::string error;
    m->AddU16(kAvpProtocolVersion, 0x0100, error);
    m->AddText(kAvpHostName, "lac", error);
    m->AddU16(kAvpAssignedTunnelId, lac_tunnel, error);
    m->AddU16(kAvpReceiveWindowSize, window, error);
    return m;
  }

  // Every datagram sent since the last call, decoded (data messages as type 0). The LAC takes the
  // control messages in Ns order: its Nr passes only the next one it awaits.
  std::vector<Reply> Replies() {
    std::vector<Reply> out;
    for (; seen_ < transport_.sent.size(); ++seen_) {
      const Bytes& b = transport_.sent[seen_].bytes;
      std::string error;
      auto m = CDatagram::ParseControl(b, error);
      Reply r;
      if (m) {
        r = {m->message_type, m->tunnel_id, m->session_id, m->ns, m->nr};
        while (auto avp = m->NextAvp(nullptr, error))
          r.avps.push_back({avp->type, Bytes(avp->value.begin(), avp->value.end())});
        if (r.type != kZlb && r.ns == lac_nr_) ++lac_nr_;
      }
      out.push_back(r);
    }
    return out;
  }
  // Moves time on in 10 ms steps, running the timers as the server thread does.
  void Run(Clock::Duration d) {
    for (Clock::Duration done{}; done < d; done += milliseconds(10)) {
      clock_.Advance(milliseconds(10));
      server_.timers.RunDue();
      list_.Reap();
    }
  }
  // An established tunnel with a LAC of receive window `window`; returns our tunnel ID.
  uint16_t Establish(uint16_t window = 4) {
    Send(*Sccrq(7, window));
    const Reply sccrp = Replies().at(0);
    const uint16_t id = sccrp.Word(kAvpAssignedTunnelId);
    auto scccn = Message(kScccn, id);
    Send(*scccn);
    Run(milliseconds(200));
    Replies();
    return id;
  }
  // An established tunnel with a peer whose secret is `secret`; returns our tunnel ID.
  uint16_t EstablishWithSecret(const Bytes& secret) {
    peers_[0].secret = secret;
    Send(*Sccrq());
    const Reply sccrp = Replies().at(0);
    const Md5Digest response =
        Md5().Update(Bytes{3}).Update(secret).Update(sccrp.Value(kAvpChallenge)).Final();
    const uint16_t id = sccrp.Word(kAvpAssignedTunnelId);
    auto scccn = Message(kScccn, id);
    std::string error;
    scccn->AddAvp(true, 0, kAvpChallengeResponse, response, error);
    Send(*scccn);
    Run(milliseconds(200));
    Replies();
    return id;
  }
  // A session taken up in tunnel `id`; returns our session ID.
  uint16_t Call(uint16_t id, uint16_t lac_session = 40) {
    auto icrq = Message(kIcrq, id);
    std::string error;
    icrq->AddU16(kAvpAssignedSessionId, lac_session, error);
    Send(*icrq);
    const Reply icrp = Replies().at(0);
    auto iccn = Message(kIccn, id, icrp.Word(kAvpAssignedSessionId));
    Send(*iccn);
    Run(milliseconds(200));
    Replies();
    return icrp.Word(kAvpAssignedSessionId);
  }
  bool Logged(const std::string& text) const {
    for (const std::string& line : log_lines_) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }

  SimulatedClock clock_;
  std::vector<std::string> log_lines_;
  ServerLog log_{clock_, [this](std::string line) { log_lines_.push_back(std::move(line)); }};
  RecordingTransport transport_{clock_};
  std::vector<Bytes> frames_;
  std::vector<L2tpPeer> peers_ = {{DottedToAddress("127.0.0.1"), {}}};
  ServerContext server_{clock_,
                        log_,
                        transport_,
                        TimerService(clock_),
                        AddressPool(DottedToAddress("10.0.0.0"), 3),
                        "lns",
                        {},
                        [this](uint32_t address) -> std::optional<L2tpPeer> {
                          for (const L2tpPeer& p : peers_) {
                            if (p.address == address) return p;
                          }
                          return std::nullopt;
                        },
                        [this](CSession&) { return std::make_unique<RecordingLink>(frames_); }};
  CTunnelList list_{server_};
  sockaddr_in lac_ = Address("127.0.0.1");
  uint16_t lac_ns_ = 0, lac_nr_ = 0;
  size_t seen_ = 0;
};

TEST_F(TunnelTest, SetUpACallCarryItsFramesAndClearIt) {
  Send(*Sccrq());
  std::vector<Reply> r = Replies();
  ASSERT_EQ(r.size(), 1u);
  const Reply& sccrp = r[0];
  EXPECT_EQ(sccrp.type, kSccrp);
  EXPECT_EQ(sccrp.tunnel, 7);
  EXPECT_EQ(sccrp.ns, 0);
  EXPECT_EQ(sccrp.nr, 1);
  std::vector<uint16_t> types;
  for (const auto& [t, v] : sccrp.avps) types.push_back(t);  // behind the Message Type AVP
  EXPECT_EQ(types,
            (std::vector<uint16_t>{kAvpProtocolVersion, kAvpFramingCapabilities, kAvpHostName,
                                   kAvpAssignedTunnelId, kAvpReceiveWindowSize, kAvpVendorName}));
  EXPECT_EQ(sccrp.Value(kAvpHostName), (Bytes{'l', 'n', 's'}));
  const uint16_t id = sccrp.Word(kAvpAssignedTunnelId);
  ASSERT_NE(id, 0);
  EXPECT_EQ(list_.Find(id)->state(), TunnelState::kWaitCtlConn);
  EXPECT_EQ(list_.Find(id)->host_name(), "lac");

  auto scccn = Message(kScccn, id);
  Send(*scccn);
  EXPECT_EQ(list_.Find(id)->state(), TunnelState::kEstablished);
  EXPECT_TRUE(Replies().empty());
  Run(milliseconds(100));  // the acknowledgement waits 100 ms for a message to ride on
  r = Replies();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].type, kZlb);
  EXPECT_EQ(r[0].nr, 2);

  const uint16_t session = Call(id);
  CSession* s = list_.Find(id)->FindSession(session);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->state(), SessionState::kEstablished);
  EXPECT_EQ(AddressToDotted(s->address()), "10.0.0.0");

  // A data message with L, S and an offset; the frame reaches the link without 0xFF 0x03.
  Bytes data = {0x4a,
                0x02,
                0,
                0,
                static_cast<uint8_t>(id >> 8),
                static_cast<uint8_t>(id),
                static_cast<uint8_t>(session >> 8),
                static_cast<uint8_t>(session),
                0,
                0,
                0,
                0,
                0,
                1,
                0xee,
                0xff,
                0x03,
                0xc0,
                0x21,
                0x09};
  data[3] = static_cast<uint8_t>(data.size());
  list_.HandleDatagram(data, lac_);
  ASSERT_EQ(frames_.size(), 1u);
  EXPECT_EQ(frames_[0], (Bytes{0xc0, 0x21, 0x09}));
  list_.HandleDatagram(data, Address("127.0.0.9"));  // not the peer: dropped
  EXPECT_EQ(frames_.size(), 1u);

  // Frames to the peer: no L, S or O; the peer's IDs; 0xFF 0x03.
  s->SendPppFrame(Bytes{0xc0, 0x21, 0x01});
  ASSERT_EQ(transport_.sent.size(), seen_ + 1);
  EXPECT_EQ(transport_.sent.back().bytes,
            (Bytes{0x00, 0x02, 0, 7, 0, 40, 0xff, 0x03, 0xc0, 0x21, 0x01}));
  Replies();

  auto cdn = Message(kCdn, id, session);
  std::string error;
  cdn->AddResultCode(3, 0, "", error);
  Send(*cdn);
  r = Replies();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].type, kStopCcn);
  EXPECT_EQ(r[0].ResultText(), "Last session has closed");
  EXPECT_EQ(server_.pool.in_use(), 0u);
  auto ack = Message(kZlb, id);
  Send(*ack);
  EXPECT_EQ(list_.count(), 0u);  // the StopCCN was acknowledged
}

TEST_F(TunnelTest, RefusedSccrqs) {
  // Not in the peer list: one StopCCN (4, 0) naming the refusal, never repeated, no tunnel.
  Send(*Sccrq(), Address("127.0.0.2"));
  Run(seconds(30));
  std::vector<Reply> r = Replies();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].type, kStopCcn);
  EXPECT_EQ(r[0].tunnel, 7);
  EXPECT_EQ(r[0].Value(kAvpResultCode).at(1), 4);
  EXPECT_EQ(r[0].ResultText(), "Peer 127.0.0.2 is not authorized to create a tunnel");
  EXPECT_EQ(list_.count(), 0u);

  // No Assigned Tunnel ID: no answer at all.
  auto bare = Message(kSccrq, 0);
  Send(*bare);
  EXPECT_TRUE(Replies().empty());
  EXPECT_TRUE(Logged("No assigned tunnel ID AVP in SCCRQ"));
  EXPECT_EQ(list_.count(), 0u);

  // Protocol version 2.0.
  auto v2 = Message(kSccrq, 0);
  std::string error;
  v2->AddU16(kAvpAssignedTunnelId, 9, error);
  v2->AddU16(kAvpProtocolVersion, 0x0200, error);
  Send(*v2);
  r = Replies();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].ResultText(), "Unsupported protocol version");
  EXPECT_EQ(
      r[0].Value(kAvpResultCode),
      (Bytes{0,   5,   1,   0,   'U', 'n', 's', 'u', 'p', 'p', 'o', 'r', 't', 'e', 'd', ' ',
             'p', 'r', 'o', 't', 'o', 'c', 'o', 'l', ' ', 'v', 'e', 'r', 's', 'i', 'o', 'n'}));

  // At the tunnel limit (the version-2 tunnel still waits for its StopCCN to be acknowledged):
  // StopCCN (2, 4) naming it, and nothing kept.
  ASSERT_EQ(list_.count(), 1u);
  server_.limits.tunnels = 1;
  Send(*Sccrq(2));
  r = Replies();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].tunnel, 2);
  EXPECT_EQ(r[0].ResultText(), "Limit of 1 tunnels reached");
  EXPECT_EQ(list_.count(), 1u);
}

TEST_F(TunnelTest, RetransmissionBackOffAndGiveUp) {
  Send(*Sccrq());
  Run(seconds(30));
  std::vector<double> times;
  for (const Sent& s : transport_.sent)
    times.push_back(std::chrono::duration<double>(s.time.time_since_epoch()).count());
  ASSERT_EQ(times.size(), 5u);
  EXPECT_NEAR(times[1], 1, 0.02);
  EXPECT_NEAR(times[2], 3, 0.03);
  EXPECT_NEAR(times[3], 7, 0.04);
  EXPECT_NEAR(times[4], 15, 0.05);
  EXPECT_TRUE(Logged("Too many retransmissions on tunnel"));
  EXPECT_EQ(list_.count(), 0u);
}

TEST_F(TunnelTest, DuplicatesAreAcknowledgedNotProcessedAndPortsFollowThePeer) {
  const uint16_t id = Establish();
  auto icrq = Message(kIcrq, id);
  std::string error;
  icrq->AddU16(kAvpAssignedSessionId, 40, error);
  Send(*icrq);
  Replies();
  Send(*icrq);  // the same Ns again
  Run(milliseconds(100));
  const std::vector<Reply> r = Replies();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].type, kZlb);
  EXPECT_EQ(list_.Find(id)->session_count(), 1u);
  EXPECT_EQ(list_.session_count(), 1u);
  // From another port of the same address: accepted, and the answers follow it.
  auto hello = Message(kHello, id);
  Send(*hello, Address("127.0.0.1", 1800));
  Run(milliseconds(100));
  ASSERT_EQ(transport_.sent.back().to.sin_port, htons(1800));
}

TEST_F(TunnelTest, HalfOpenTunnelsAndCallsAndStopsFromThePeer) {
  // The LAC acknowledges the SCCRP but never sends SCCCN.
  Send(*Sccrq());
  auto ack = Message(kZlb, Replies().at(0).Word(kAvpAssignedTunnelId));
  Send(*ack);
  Run(seconds(60));
  std::vector<Reply> r = Replies();
  ASSERT_FALSE(r.empty());
  EXPECT_EQ(r.back().type, kStopCcn);
  EXPECT_EQ(r.back().ResultText(), "Control connection set-up timed out");

  // StopCCN from the peer: a ZLB at once, the tunnel goes 31 s later.
  seen_ = transport_.sent.size();
  lac_ns_ = lac_nr_ = 0;
  const uint16_t id = Establish();
  auto stop = Message(kStopCcn, id);
  std::string error;
  stop->AddU16(kAvpAssignedTunnelId, 7, error);
  stop->AddResultCode(1, 0, "", error);
  Send(*stop);
  r = Replies();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].type, kZlb);
  Run(seconds(30));
  EXPECT_TRUE(list_.Find(id));
  Run(seconds(2));
  EXPECT_FALSE(list_.Find(id));
}

TEST_F(TunnelTest, TunnelAuthentication) {
  const Bytes secret = {'s', '3', 'c'};
  peers_[0].secret = secret;
  auto sccrq = Sccrq();
  const Bytes challenge = {1, 2, 3, 4, 5, 6, 7, 8};
  std::string error;
  sccrq->AddAvp(true, 0, kAvpChallenge, challenge, error);
  Send(*sccrq);
  const Reply sccrp = Replies().at(0);
  const uint8_t two[1] = {2}, three[1] = {3};
  const Md5Digest ours = Md5().Update(two).Update(secret).Update(challenge).Final();
  EXPECT_EQ(sccrp.Value(kAvpChallengeResponse), Bytes(ours.begin(), ours.end()));
  const Bytes server_challenge = sccrp.Value(kAvpChallenge);
  ASSERT_EQ(server_challenge.size(), 16u);
  const uint16_t id = sccrp.Word(kAvpAssignedTunnelId);

  auto wrong = Message(kScccn, id);
  wrong->AddAvp(true, 0, kAvpChallengeResponse, Bytes(16, 0), error);
  Send(*wrong);
  EXPECT_EQ(Replies().at(0).ResultText(), "Incorrect challenge response");

  lac_ns_ = lac_nr_ = 0;
  Send(*Sccrq(8));
  const Reply second = Replies().at(0);
  const Bytes c2 = second.Value(kAvpChallenge);
  const Md5Digest response = Md5().Update(three).Update(secret).Update(c2).Final();
  auto scccn = Message(kScccn, second.Word(kAvpAssignedTunnelId));
  scccn->AddAvp(true, 0, kAvpChallengeResponse, response, error);
  Send(*scccn);
  EXPECT_EQ(list_.Find(second.Word(kAvpAssignedTunnelId))->state(), TunnelState::kEstablished);
}

TEST_F(TunnelTest, SessionEdgesAndLimits) {
  const uint16_t id = Establish();
  auto zero = Message(kIcrq, id);
  std::string error;
  zero->AddU16(kAvpAssignedSessionId, 0, error);
  Send(*zero);
  Run(milliseconds(100));
  EXPECT_EQ(Replies().at(0).type, kZlb);  // ignored, only acknowledged
  const uint16_t first = Call(id, 41);
  server_.limits.sessions_per_tunnel = 1;
  auto over = Message(kIcrq, id);
  over->AddU16(kAvpAssignedSessionId, 42, error);
  Send(*over);
  std::vector<Reply> r = Replies();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].type, kCdn);
  EXPECT_EQ(r[0].session, 42);
  EXPECT_EQ(r[0].ResultText(), "Limit of 1 sessions per tunnel reached");
  // ICCN twice: CDN (7, 0) and the session goes; it was the last, so the tunnel stops.
  auto again = Message(kIccn, id, first);
  Send(*again);
  r = Replies();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].ResultText(), "Received ICCN for session in state established");
  EXPECT_EQ(r[1].type, kStopCcn);
  EXPECT_EQ(server_.pool.in_use(), 0u);
}

TEST_F(TunnelTest, AccmOfBothDirectionsGoesToTheLacOnce) {
  const uint16_t id = Establish();
  const uint16_t session = Call(id);
  CSession* s = list_.Find(id)->FindSession(session);
  const Bytes ack = {0xc0, 0x21, 2, 1, 0, 10, 2, 6, 0, 0, 0, 0};  // Configure-Ack, ACCM 0
  s->SendPppFrame(ack);
  Bytes from_peer = {0x00,
                     0x02,
                     static_cast<uint8_t>(id >> 8),
                     static_cast<uint8_t>(id),
                     static_cast<uint8_t>(session >> 8),
                     static_cast<uint8_t>(session)};
  from_peer.insert(from_peer.end(), ack.begin(), ack.end());
  list_.HandleDatagram(from_peer, lac_);
  std::vector<Reply> r = Replies();
  ASSERT_EQ(r.back().type, kSli);
  EXPECT_EQ(r.back().Value(kAvpAccm), Bytes(10, 0));
  const Bytes ip = {0x00, 0x21, 0x45};
  s->SendPppFrame(ip);
  s->SendPppFrame(ack);
  list_.HandleDatagram(from_peer, lac_);
  for (const Reply& reply : Replies()) EXPECT_NE(reply.type, kSli);
}

TEST_F(TunnelTest, ShutdownStopsEveryTunnelAndHostileBytesOnlyLog) {
  const uint16_t id = Establish();
  for (int i = 0; i < 100; ++i) {
    Bytes unknown = {0x00, 0x02, 0x12, 0x34, 0, 1};
    list_.HandleDatagram(unknown, lac_);  // unknown tunnel
  }
  int unknown = 0;
  for (const std::string& line : log_lines_)
    unknown += line.find("Unknown tunnel 4660") != std::string::npos;
  EXPECT_EQ(unknown, 1);
  Bytes version3 = {0xc8, 0x03, 0, 12};
  list_.HandleDatagram(version3, lac_);  // dropped silently
  list_.ShutdownAll("Server shutdown");
  const std::vector<Reply> r = Replies();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].Value(kAvpResultCode).at(1), 6);
  EXPECT_EQ(r[0].ResultText(), "Server shutdown");
  auto ack = Message(kZlb, id);
  Send(*ack);
  EXPECT_EQ(list_.count(), 0u);
}

TEST_F(TunnelTest, KeepAliveHalfOpenCallsAndFloodsOfStrangers) {
  const uint16_t id = Establish();
  // Idle for a minute: a HELLO keeps the tunnel alive.
  Run(seconds(61));
  std::vector<Reply> r = Replies();
  ASSERT_FALSE(r.empty());
  EXPECT_EQ(r[0].type, kHello);
  auto ack = Message(kZlb, id);
  Send(*ack);

  // A call whose ICCN never comes goes after 60 s with CDN (2, 0), and with it the tunnel.
  auto icrq = Message(kIcrq, id);
  std::string error;
  icrq->AddU16(kAvpAssignedSessionId, 50, error);
  Send(*icrq);
  Replies();
  auto icrp_ack = Message(kZlb, id);
  Send(*icrp_ack);
  Run(seconds(61));
  bool cdn = false;
  for (const Reply& reply : Replies()) {
    cdn = cdn || (reply.type == kCdn && reply.ResultText() == "Call set-up timed out");
  }
  EXPECT_TRUE(cdn);
  EXPECT_EQ(server_.sessions, 0u);
  // The LAC acknowledges the CDN and the StopCCN of the last session, and the tunnel goes.
  for (int i = 0; i < 5 && list_.Find(id); ++i) {
    Replies();
    auto stop_ack = Message(kZlb, id);
    Send(*stop_ack);
    Run(milliseconds(100));
  }
  EXPECT_EQ(list_.count(), 0u);

  // A thousand SCCRQs from a stranger leave no tunnel, and the peer's tunnel is still served.
  lac_ns_ = lac_nr_ = 0;
  const uint16_t second = Establish();
  const uint16_t ns = lac_ns_, nr = lac_nr_;
  for (int i = 0; i < 1000; ++i) Send(*Sccrq(static_cast<uint16_t>(i + 1)), Address("127.0.0.66"));
  EXPECT_EQ(list_.count(), 1u);
  Replies();
  lac_ns_ = ns;  // the stranger's messages are not the LAC's
  lac_nr_ = nr;
  auto call = Message(kIcrq, second);
  call->AddU16(kAvpAssignedSessionId, 51, error);
  Send(*call);
  r = Replies();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].type, kIcrp);
}

TEST_F(TunnelTest, HiddenAvpsOfASecretPeerAndMessagesOutOfOrder) {
  const Bytes secret = {'k', 'e', 'y'};
  peers_[0].secret = secret;
  // The SCCRQ hides its Assigned Tunnel ID behind a Random Vector.
  auto sccrq = Message(kSccrq, 0);
  std::string error;
  const Bytes vector = {9, 8, 7, 6};
  sccrq->AddU16(kAvpProtocolVersion, 0x0100, error);
  sccrq->AddAvp(true, 0, kAvpRandomVector, vector, error);
  const Bytes hidden = HideAvpValue(kAvpAssignedTunnelId, secret, vector, Bytes{0, 33}, 5);
  sccrq->AddAvp(true, 0, kAvpAssignedTunnelId, hidden, error);
  Bytes wire = sccrq->WireBytes();
  wire[12 + 8 + 8 + 10] |= 0x40;  // the H bit of the Assigned Tunnel ID
  list_.HandleDatagram(wire, lac_);
  const Reply sccrp = Replies().at(0);
  EXPECT_EQ(sccrp.tunnel, 33);
  const uint16_t id = sccrp.Word(kAvpAssignedTunnelId);
  const Md5Digest response =
      Md5().Update(Bytes{3}).Update(secret).Update(sccrp.Value(kAvpChallenge)).Final();
  auto scccn = Message(kScccn, id);
  scccn->AddAvp(true, 0, kAvpChallengeResponse, response, error);
  // The ICRQ that follows arrives first: not processed; a ZLB says the SCCCN is still awaited.
  auto icrq = Message(kIcrq, id);
  icrq->AddU16(kAvpAssignedSessionId, 60, error);
  Send(*icrq);
  Run(milliseconds(200));
  const std::vector<Reply> early = Replies();
  ASSERT_EQ(early.size(), 1u);
  EXPECT_EQ(early[0].type, kZlb);
  EXPECT_EQ(early[0].nr, 1);
  Send(*scccn);
  Send(*icrq);
  EXPECT_EQ(list_.Find(id)->state(), TunnelState::kEstablished);
  EXPECT_EQ(list_.Find(id)->session_count(), 1u);
  EXPECT_EQ(Replies().at(0).type, kIcrp);
}

TEST_F(TunnelTest, APeerThatNeverAcknowledgesLosesItsTunnelAtTheQueueLimit) {
  const uint16_t id = Establish();
  Call(id, 41);
  server_.limits.sessions_per_tunnel = 1;
  CTunnel& tunnel = *list_.Find(id);
  // In-order ICRQs past the session limit, each answered by a CDN, none of them acknowledged:
  // they keep the Nr that took the ICRP.
  const uint16_t acknowledged = lac_nr_;
  ASSERT_EQ(acknowledged, 2);
  std::string error;
  size_t sent = 0;
  for (; sent < 2000 && tunnel.state() == TunnelState::kEstablished; ++sent) {
    auto icrq = Message(kIcrq, id);
    icrq->nr = acknowledged;
    icrq->AddU16(kAvpAssignedSessionId, 42, error);
    Send(*icrq);
    ASSERT_LE(tunnel.queued_bytes(), tunnel.queue_limit());
  }
  ASSERT_EQ(tunnel.state(), TunnelState::kSentStopCcn);
  EXPECT_GT(sent, tunnel.queue_limit() / CTunnel::kQueueBytesPerMessage);
  EXPECT_TRUE(Logged("Transmit queue of tunnel " + tunnel.name() + " holds "));
  // The stop took the session and its address with it.
  EXPECT_EQ(server_.sessions, 0u);
  EXPECT_EQ(server_.pool.in_use(), 0u);
  // The CDNs in flight (Ns 2 to 4 in the window of 3 the LAC had opened) stay, the StopCCN waits
  // behind them as Ns 5, and the CDNs never sent are gone.
  std::vector<Reply> r = Replies();
  ASSERT_EQ(r.size(), 3u);
  for (const Reply& cdn : r) EXPECT_EQ(cdn.type, kCdn);
  EXPECT_EQ(lac_nr_, 5);
  ASSERT_EQ(tunnel.queue().size(), 4u);
  EXPECT_EQ(tunnel.queue().back()->message_type, kStopCcn);
  EXPECT_EQ(tunnel.queue().back()->ns, 5);
  size_t footprint = 0;
  for (const auto& message : tunnel.queue()) footprint += message->footprint();
  EXPECT_EQ(tunnel.queued_bytes(), footprint);
  // More calls meanwhile add nothing.
  const size_t stopping = tunnel.queued_bytes();
  for (int i = 0; i < 1000; ++i) {
    auto icrq = Message(kIcrq, id);
    icrq->nr = acknowledged;
    icrq->AddU16(kAvpAssignedSessionId, 43, error);
    Send(*icrq);
  }
  EXPECT_EQ(tunnel.queued_bytes(), stopping);
  // The LAC acknowledges the CDNs it got; the StopCCN follows as the very next message it awaits.
  auto ack = Message(kZlb, id);
  Send(*ack);
  r = Replies();
  ASSERT_EQ(r.size(), 1u);
  const Reply& stop = r[0];
  EXPECT_EQ(stop.type, kStopCcn);
  EXPECT_EQ(stop.ns, 5);
  EXPECT_EQ(stop.Value(kAvpResultCode).at(1), 2);
  EXPECT_EQ(stop.Value(kAvpResultCode).at(3), 4);
  EXPECT_EQ(stop.ResultText(), tunnel.last_error());
  EXPECT_EQ(lac_nr_, 6);
  auto stop_ack = Message(kZlb, id);
  Send(*stop_ack);
  EXPECT_EQ(list_.count(), 0u);
}

TEST_F(TunnelTest, AStopCcnOnAFullQueueTakesThePlaceOfWhatWasNeverSent) {
  const uint16_t id = Establish();
  const uint16_t session = Call(id, 41);
  server_.limits.sessions_per_tunnel = 1;
  CTunnel& tunnel = *list_.Find(id);
  // CDNs the LAC never acknowledges, until another would not fit.
  const uint16_t acknowledged = lac_nr_;
  std::string error;
  size_t cdn = 0;
  while (tunnel.queue_limit() - tunnel.queued_bytes() >= cdn) {
    const size_t before = tunnel.queued_bytes();
    auto icrq = Message(kIcrq, id);
    icrq->nr = acknowledged;
    icrq->AddU16(kAvpAssignedSessionId, 42, error);
    Send(*icrq);
    cdn = tunnel.queued_bytes() - before;
  }
  ASSERT_EQ(tunnel.state(), TunnelState::kEstablished);
  const size_t stop_footprint = NewStopCcn(7, id, 1, 0, "Last session has closed")->footprint();
  ASSERT_LT(tunnel.queue_limit() - tunnel.queued_bytes(), stop_footprint);
  ASSERT_EQ(Replies().size(), 3u);  // CDNs Ns 2 to 4
  // The last call clears: the CDNs in flight stay, the StopCCN takes the place of those never sent.
  auto clear = Message(kCdn, id, session);
  clear->nr = acknowledged;
  clear->AddResultCode(3, 0, "", error);
  Send(*clear);
  EXPECT_EQ(tunnel.state(), TunnelState::kSentStopCcn);
  ASSERT_EQ(tunnel.queue().size(), 4u);
  EXPECT_EQ(tunnel.queue().back()->ns, 5);
  EXPECT_LE(tunnel.queued_bytes(), tunnel.queue_limit());
  // The LAC acknowledges what it got: the StopCCN goes, in order, and its acknowledgement ends
  // the tunnel.
  auto ack = Message(kZlb, id);
  Send(*ack);
  const std::vector<Reply> r = Replies();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].type, kStopCcn);
  EXPECT_EQ(r[0].ns, 5);
  EXPECT_EQ(r[0].ResultText(), "Last session has closed");
  auto stop_ack = Message(kZlb, id);
  Send(*stop_ack);
  EXPECT_EQ(list_.count(), 0u);
}

TEST_F(TunnelTest, APeerThatTalksWithoutAcknowledgingLosesItsStoppedTunnel) {
  // Stopped for overrun: one ICRQ a second, never acknowledging, for a minute.
  uint16_t id = Establish();
  Call(id, 41);
  Call(id, 42);
  server_.limits.sessions_per_tunnel = 2;
  ASSERT_EQ(server_.pool.in_use(), 2u);
  const uint16_t acknowledged = lac_nr_;
  std::string error;
  const auto icrq = [&] {
    auto m = Message(kIcrq, id);
    m->nr = acknowledged;
    m->AddU16(kAvpAssignedSessionId, 43, error);
    return m;
  };
  while (list_.Find(id)->state() == TunnelState::kEstablished) Send(*icrq());
  EXPECT_EQ(server_.sessions, 0u);
  EXPECT_EQ(server_.pool.in_use(), 0u);
  for (int second = 0; second < 60 && list_.Find(id); ++second) {
    Send(*icrq());
    Run(seconds(1));
  }
  EXPECT_FALSE(list_.Find(id));
  EXPECT_TRUE(Logged("not acknowledged; closing down"));

  // A StopCCN sent alone goes after its five retransmissions, however much the peer talks.
  Replies();
  lac_ns_ = lac_nr_ = 0;
  id = Establish();
  ASSERT_TRUE(list_.Find(id));
  list_.ShutdownAll("Server shutdown");
  const uint16_t stale = lac_nr_;
  const Clock::TimePoint stopped = clock_.Now();
  for (int second = 0; second < 60 && list_.Find(id); ++second) {
    auto hello = Message(kHello, id);
    hello->nr = stale;
    Send(*hello);
    Run(seconds(1));
  }
  EXPECT_FALSE(list_.Find(id));
  EXPECT_LE(clock_.Now() - stopped, seconds(24));

  // The peer stopped the tunnel: its HELLOs every 10 s do not put off the end 31 s later.
  Replies();
  lac_ns_ = lac_nr_ = 0;
  id = Establish();
  ASSERT_TRUE(list_.Find(id));
  auto stop = Message(kStopCcn, id);
  stop->AddU16(kAvpAssignedTunnelId, 7, error);
  stop->AddResultCode(1, 0, "", error);
  Send(*stop);
  for (int second = 0; second < 30; second += 10) {
    auto hello = Message(kHello, id);
    Send(*hello);
    Run(seconds(10));
  }
  EXPECT_TRUE(list_.Find(id));
  Run(seconds(2));
  EXPECT_FALSE(list_.Find(id));
}

TEST_F(TunnelTest, AnHonestLacRedialingEveryCallAtOnceKeepsItsTunnel) {
  const uint16_t id = Establish(1);
  CTunnel& tunnel = *list_.Find(id);
  const size_t calls = server_.limits.sessions_per_tunnel;
  std::string error;
  for (size_t i = 0; i < calls; ++i) {
    auto icrq = Message(kIcrq, id);
    icrq->AddU16(kAvpAssignedSessionId, static_cast<uint16_t>(i + 1), error);
    Send(*icrq);
  }
  ASSERT_EQ(tunnel.session_count(), calls);
  for (const auto& icrp : tunnel.queue())
    EXPECT_LT(icrp->footprint(), CTunnel::kQueueBytesPerMessage);
  // The LAC takes each ICRP 40 ms after it came (all of them within the minute a call may take
  // to connect) and answers it with the ICCN, which acknowledges it; with its window of 1 the
  // next ICRP follows.
  size_t connected = 0;
  while (connected < calls && tunnel.state() == TunnelState::kEstablished) {
    Run(milliseconds(40));
    for (const Reply& reply : Replies()) {
      if (reply.type != kIcrp) continue;
      auto iccn = Message(kIccn, id, reply.Word(kAvpAssignedSessionId));
      Send(*iccn);
      ++connected;
    }
  }
  EXPECT_EQ(tunnel.state(), TunnelState::kEstablished);
  EXPECT_EQ(connected, calls);
  EXPECT_EQ(tunnel.session_count(), calls);
  EXPECT_FALSE(Logged("Transmit queue of tunnel"));
}

TEST_F(TunnelTest, AnAcknowledgementBeyondWhatWasSentIsRefused) {
  const uint16_t id = Establish();  // the SCCRP (Ns 0) is all that was sent
  std::string error;
  auto icrq = Message(kIcrq, id);
  icrq->AddU16(kAvpAssignedSessionId, 40, error);
  icrq->nr = 1000;
  Send(*icrq);
  Run(milliseconds(200));
  EXPECT_TRUE(Replies().empty());  // neither processed nor acknowledged
  EXPECT_EQ(list_.Find(id)->session_count(), 0u);
  EXPECT_TRUE(Logged("Invalid control message for tunnel " + list_.Find(id)->name() +
                     " - Nr 1000 acknowledges beyond Ns 1"));
  // The same ICRQ with a true Nr is taken, and the ICRP goes at once.
  icrq->nr = 1;
  Send(*icrq);
  const std::vector<Reply> r = Replies();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].type, kIcrp);
  EXPECT_EQ(r[0].ns, 1);
}

TEST_F(TunnelTest, AcknowledgementsOfMessagesSentBeforeARetransmissionOpenTheWindow) {
  const uint16_t id = Establish();  // the LAC's window is 4; ours to it has opened to 2
  server_.limits.sessions_per_tunnel = 0;
  std::string error;
  for (const uint16_t session : {50, 51}) {  // two CDNs in flight, Ns 1 and 2
    auto icrq = Message(kIcrq, id);
    icrq->AddU16(kAvpAssignedSessionId, session, error);
    Send(*icrq);
  }
  Run(milliseconds(1000));  // the first CDN goes again, alone
  std::vector<Reply> r = Replies();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[2].ns, 1);
  // The LAC acknowledges both with its next ICRQ: that CDN goes at once.
  lac_nr_ = 3;
  auto icrq = Message(kIcrq, id);
  icrq->AddU16(kAvpAssignedSessionId, 52, error);
  Send(*icrq);
  r = Replies();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].type, kCdn);
  EXPECT_EQ(r[0].session, 52);
  EXPECT_EQ(r[0].ns, 3);
}

TEST_F(TunnelTest, HiddenAvpsOfAnIccnAreReadWithTheTunnelSecret) {
  const Bytes secret = {'k', 'e', 'y'};
  const uint16_t id = EstablishWithSecret(secret);
  auto icrq = Message(kIcrq, id);
  std::string error;
  icrq->AddU16(kAvpAssignedSessionId, 40, error);
  Send(*icrq);
  const uint16_t session = Replies().at(0).Word(kAvpAssignedSessionId);
  // The ICCN hides its TX Connect Speed behind a Random Vector.
  auto iccn = Message(kIccn, id, session);
  const Bytes vector = {1, 2, 3, 4};
  iccn->AddAvp(true, 0, kAvpRandomVector, vector, error);
  iccn->AddAvp(true, 0, kAvpTxConnectSpeed,
               HideAvpValue(kAvpTxConnectSpeed, secret, vector, Bytes{0, 0, 0x27, 0x10}, 3), error);
  Bytes wire = iccn->WireBytes();
  wire[12 + 8 + 10] |= 0x40;  // the H bit of the TX Connect Speed
  list_.HandleDatagram(wire, lac_);
  Run(milliseconds(200));
  const std::vector<Reply> r = Replies();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].type, kZlb);
  EXPECT_EQ(list_.Find(id)->FindSession(session)->state(), SessionState::kEstablished);
}

TEST_F(TunnelTest, StrangersAreAnsweredAtABoundedRate) {
  const auto stop_ccns = [this] {
    int count = 0;
    for (const Reply& reply : Replies()) count += reply.type == kStopCcn;
    return count;
  };
  const auto withheld_lines = [this] {
    std::vector<std::string> lines;
    for (const std::string& line : log_lines_) {
      if (line.find("No answer to 127.0.0.2: over 10 answers a second") != std::string::npos)
        lines.push_back(line);
    }
    return lines;
  };
  const auto flood = [this](int count) {
    for (int i = 0; i < count; ++i)
      Send(*Sccrq(static_cast<uint16_t>(i + 1)), Address("127.0.0.2"));
  };
  flood(100);
  EXPECT_EQ(stop_ccns(), StrangerAnswers::kBurst);
  EXPECT_EQ(withheld_lines().size(), 1u);
  Run(milliseconds(500));
  flood(100);
  EXPECT_EQ(stop_ccns(), 5);
  EXPECT_EQ(withheld_lines().size(), 1u);  // a line a second at most
  Run(milliseconds(600));
  flood(100);
  EXPECT_EQ(stop_ccns(), 6);
  ASSERT_EQ(withheld_lines().size(), 2u);
  EXPECT_NE(withheld_lines()[1].find("(184 more suppressed)"), std::string::npos);
  EXPECT_EQ(list_.count(), 0u);

  // Refusals of strangers at the tunnel limit draw on the same answers; an allowed peer's refusal
  // does not, and goes out while strangers have used them all up.
  server_.limits.tunnels = 0;
  flood(100);
  EXPECT_EQ(stop_ccns(), 0);
  Send(*Sccrq());
  std::vector<Reply> r = Replies();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].ResultText(), "Limit of 0 tunnels reached");
  Run(milliseconds(100));
  flood(1);
  r = Replies();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].ResultText(), "Limit of 0 tunnels reached");
}

}  // namespace
}  // namespace velmora::l2tp
