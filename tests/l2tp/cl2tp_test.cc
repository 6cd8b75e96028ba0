// The server object on a real loopback socket, with a scripted LAC.

#include "l2tp/cl2tp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>

#include "l2tp/avp_table.h"
#include "l2tp/datagram.h"
#include "platform/address_text.h"
#include "testing/udp_peer.h"
#include "testing/velmora_process.h"

namespace velmora::l2tp {
namespace {

class CL2tpTest : public ::testing::Test {
 protected:
  L2tpParams Params() {
    L2tpParams p;
    p.port = testing::UdpPeer::FreePort();
    p.bindAddress = DottedToAddress("127.0.0.1");
    p.poolStart = DottedToAddress("10.0.0.0");
    p.poolSize = 3;
    p.hostName = "lns";
    p.window = [this](const std::string& text) {
      std::lock_guard<std::mutex> guard(mutex_);
      texts_.push_back(text);
    };
    return p;
  }
  bool Said(const std::string& text) {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const std::string& t : texts_) {
      if (t.find(text) != std::string::npos) return true;
    }
    return false;
  }
  std::string Sccrq() {
    auto m = CDatagram::NewControl(kSccrq, 0, 0);
    std::string error;
    m->AddU16(kAvpProtocolVersion, 0x0100, error);
    m->AddU16(kAvpAssignedTunnelId, 7, error);
    const std::vector<uint8_t> bytes = m->WireBytes();
    return {bytes.begin(), bytes.end()};
  }

  std::mutex mutex_;
  std::vector<std::string> texts_;
};

TEST_F(CL2tpTest, InterfaceChecks) {
  CL2tp server;
  EXPECT_THROW(CL2tp second, std::logic_error);
  EXPECT_FALSE(server.Start());
  EXPECT_EQ(server.LastError(), "Server was not initialized with valid parameters");
  L2tpParams params = Params();
  params.poolSize = 0;
  EXPECT_FALSE(server.SetParameters(params));
  EXPECT_EQ(server.LastError(), "Invalid IP address pool size");
  EXPECT_FALSE(server.Start());
  params.poolStart = 0;
  EXPECT_FALSE(server.SetParameters(params));
  EXPECT_EQ(server.LastError(), "Invalid IP address pool");

  EXPECT_TRUE(server.AddUser("Ann", "one"));
  EXPECT_TRUE(server.AddUser("ann", "two"));
  EXPECT_TRUE(server.AddUser("Ann", "three"));
  EXPECT_EQ(server.FindUser("Ann")->password, "three");
  EXPECT_EQ(server.FindUser("ann")->password, "two");
  EXPECT_FALSE(server.AddUser(std::string(261, 'x'), "p"));
  EXPECT_EQ(server.LastError(), "Invalid user name parameter");
  EXPECT_FALSE(server.AddPeer(0));
  EXPECT_EQ(server.LastError(), "Invalid IP address parameter");
  EXPECT_FALSE(server.AddPeer(1, std::string(97, 's')));
  EXPECT_TRUE(server.AddPeer(DottedToAddress("127.0.0.1"), "secret"));
  EXPECT_TRUE(server.AddPeer(DottedToAddress("127.0.0.1")));
  EXPECT_TRUE(server.FindPeer(DottedToAddress("127.0.0.1"))->secret.empty());
  server.ReplaceUsers({{"Bob", "b"}});
  EXPECT_FALSE(server.FindUser("Ann"));
  EXPECT_TRUE(server.FindUser("Bob"));
}

TEST_F(CL2tpTest, RunsStopsAndShutsTunnelsDown) {
  CL2tp server;
  ASSERT_TRUE(server.SetParameters(Params()));
  server.AddPeer(DottedToAddress("127.0.0.1"));
  ASSERT_TRUE(server.Start());
  EXPECT_TRUE(server.Start());  // running already
  EXPECT_FALSE(server.SetParameters(Params()));
  EXPECT_EQ(server.LastError(), "Server is already running");
  server.Stop();
  ASSERT_TRUE(testing::WaitFor([&] { return !server.IsRunning(); }));
  EXPECT_TRUE(Said("L2tp LNS server started"));
  EXPECT_TRUE(Said("L2tp LNS server was stopped"));

  // A tunnel whose peer never acknowledges the StopCCN: terminated 2 s after the shutdown.
  ASSERT_TRUE(server.Start());
  testing::UdpPeer lac;
  lac.set_timeout(std::chrono::seconds(2));
  lac.SendTo(server.port(), Sccrq());
  std::string error;
  const std::string sccrp = lac.Next();
  auto reply = CDatagram::ParseControl(
      {reinterpret_cast<const uint8_t*>(sccrp.data()), sccrp.size()}, error);
  ASSERT_TRUE(reply) << error;
  EXPECT_EQ(reply->message_type, kSccrp);
  ASSERT_TRUE(testing::WaitFor([&] { return server.GetTunnelCount() == 1; }));
  // The LAC acknowledges the SCCRP, so that the StopCCN may follow it.
  std::string id_error;
  const uint16_t id = static_cast<uint16_t>(
      reply->FindAvp(nullptr, 0, kAvpAssignedTunnelId, id_error)->value[1] |
      reply->FindAvp(nullptr, 0, kAvpAssignedTunnelId, id_error)->value[0] << 8);
  auto ack = CDatagram::NewControl(kZlb, id, 0);
  ack->ns = 1;
  ack->nr = 1;
  const std::vector<uint8_t> ack_bytes = ack->WireBytes();
  lac.SendTo(server.port(), {reinterpret_cast<const char*>(ack_bytes.data()), ack_bytes.size()});
  server.Stop();
  const std::string stop = lac.Next();
  reply =
      CDatagram::ParseControl({reinterpret_cast<const uint8_t*>(stop.data()), stop.size()}, error);
  ASSERT_TRUE(reply) << error;
  EXPECT_EQ(reply->message_type, kStopCcn);
  ASSERT_TRUE(testing::WaitFor([&] { return !server.IsRunning(); }));
  EXPECT_TRUE(Said("L2tp LNS server shutdown is initiated"));
  EXPECT_TRUE(Said("L2tp LNS server was terminated"));
  EXPECT_EQ(server.GetTunnelCount(), 0u);
}

// Whatever a read burst held, the burst callback ends it; at level 3 the server tells the
// receive buffer it got.
TEST_F(CL2tpTest, EveryReadBurstEndsWithTheBurstCallback) {
  CL2tp server;
  L2tpParams params = Params();
  params.debugLevel = 3;
  std::atomic<int> bursts{0};
  params.burstEnd = [&bursts] { ++bursts; };
  ASSERT_TRUE(server.SetParameters(params));
  ASSERT_TRUE(server.Start());
  testing::UdpPeer stranger;
  for (int i = 0; i < 5; ++i) stranger.SendTo(server.port(), "not L2TP");
  EXPECT_TRUE(testing::WaitFor([&] { return bursts > 0; }));
  EXPECT_TRUE(Said("L2tp LNS receive buffer of "));
  server.Stop();
  ASSERT_TRUE(testing::WaitFor([&] { return !server.IsRunning(); }));
}

TEST_F(CL2tpTest, AFloodOfSccrqsFromAStrangerIsAnsweredAtABoundedRate) {
  CL2tp server;
  ASSERT_TRUE(server.SetParameters(Params()));  // no peers: everyone is a stranger
  ASSERT_TRUE(server.Start());
  testing::UdpPeer stranger;
  stranger.set_timeout(std::chrono::milliseconds(300));
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 100; ++i) stranger.SendTo(server.port(), Sccrq());
  int answers = 0;
  while (stranger.Next() != "<nothing>") ++answers;
  const auto seconds =
      std::chrono::ceil<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
  EXPECT_GE(answers, StrangerAnswers::kBurst);
  EXPECT_LE(answers, StrangerAnswers::kBurst + StrangerAnswers::kPerSecond * seconds.count());
  server.Stop();
  ASSERT_TRUE(testing::WaitFor([&] { return !server.IsRunning(); }));
  EXPECT_TRUE(Said("answers a second to senders without a tunnel"));
}

TEST_F(CL2tpTest, APortInUseFailsTheStart) {
  testing::UdpPeer holder;
  CL2tp server;
  L2tpParams params = Params();
  params.port = holder.port();
  params.bindAddress = 0;
  ASSERT_TRUE(server.SetParameters(params));
  // The holder is bound to 127.0.0.1 only; any address on the same port conflicts.
  EXPECT_FALSE(server.Start());
  EXPECT_EQ(server.LastError().rfind("Failed to open UDP socket", 0), 0u);
  EXPECT_FALSE(server.IsRunning());
}

}  // namespace
}  // namespace velmora::l2tp
