// Routed traffic from end to end: the real router in a network namespace of the test's own, with
// the virtual adapter installed by its script and a real kernel routing into it. The kernel's ARP
// requests are answered, its datagrams reach a UDP receiver standing for the inserter, and the
// system's routes are set, removed and restored, even after the router was killed.

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "testing/namespace_test.h"
#include "testing/udp_peer.h"
#include "testing/velmora_process.h"

namespace velmora {
namespace {

std::string RouterIni(uint16_t inserter_port, const std::string& channel, int default_route,
                      const std::string& inserter_ip = "127.0.0.1") {
  return "[GENERAL]\nRemoteControlOn=0\nPylonEnable=0\nBouncerEnable=0\n"
         "LogOn=0\nLogLevel=3\nStatisticEnable=0\n"
         "TransparentEnable=0\nL2tpEnable=0\nStartListening=1\nCorvidEnable=1\nInserterIP=" +
         inserter_ip + "\nInserterPort=" + std::to_string(inserter_port) +
         "\nTypeChannel=" + channel + "\nCorvidDefaultRoute=" + std::to_string(default_route) +
         "\n[NETWORKS]\n"
         "Alias=\"Routed\", IPSubNetAddr=10.1.0.0, IPSubNetMask=255.255.0.0, "
         "IPSubNetMAC=\"SubNet_001\", IPSubNetPID=291\n"
         "Alias=\"Group\", IPSubNetAddr=239.1.0.0, IPSubNetMask=255.255.0.0, "
         "IPSubNetMAC=\"SubNet_002\", IPSubNetPID=292\n"
         "[SubNet_001]\n10.1.0.5 00-11-22-33-44-55\n";
}

// A UDP datagram from the namespace into the routed subnet, with don't-fragment off as a source
// behind a broadcast link would send it.
void SendInto(const std::string& address, uint16_t port, const std::string& payload) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  const int off = IP_PMTUDISC_DONT;
  ::setsockopt(fd, IPPROTO_IP, IP_MTU_DISCOVER, &off, sizeof off);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  inet_pton(AF_INET, address.c_str(), &to.sin_addr);
  EXPECT_EQ(
      ::sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
      static_cast<ssize_t>(payload.size()));
  ::close(fd);
}

class CorvidEndToEnd : public testing::NamespaceTest {
 protected:
  void SetUp() override {
    NamespaceTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_EQ(Run(std::string(CORVID_ADAPTER_SCRIPT) + " add >/dev/null"), 0);
    // An uplink with the namespace's own default route, and a route of its own to the subnet
    // that the router's routes must leave alone.
    ASSERT_EQ(Run("ip link add uplink0 type veth peer name uplink1 && ip link set uplink1 up && "
                  "ip addr add 10.9.0.2/24 dev uplink0 && "
                  "ip link set uplink0 up && ip route add default via 10.9.0.1 && "
                  "ip route add 10.1.0.0/16 dev uplink0 metric 50"),
              0);
  }

  void Start(const std::string& ini) { ASSERT_TRUE(router_.Start(ini, kReady)) << Log(); }
  void Start() { ASSERT_TRUE(router_.Start(kReady)) << Log(); }
  void Stop() { EXPECT_EQ(router_.Stop(), 0); }
  std::string Log() const { return router_.Log(); }
  std::string Routes() const { return namespace_->Output("ip -4 route show table main"); }
  std::string Neighbour() const { return namespace_->Output("ip neigh show 10.1.0.5 dev corvid0"); }

  static constexpr const char* kReady = "Corvid adapter: IP=";
  testing::RouterRun router_{"velmora_e2e_corvid"};
};

TEST_F(CorvidEndToEnd, KernelTrafficIntoTheSubnetReachesTheInserterWithItsPid) {
  testing::UdpPeer inserter;
  Start(RouterIni(inserter.port(), "DVB", 0));
  const std::string routes = Routes();
  EXPECT_NE(routes.find("10.1.0.0/16 dev corvid0 proto 77 scope link metric 1"), std::string::npos)
      << routes;
  EXPECT_EQ(routes.find("239.1.0.0"), std::string::npos) << routes;

  // The kernel asks for 10.1.0.5 by broadcast ARP; the router's answer lets the datagram go.
  const std::string payload(300, 'v');
  SendInto("10.1.0.5", 5000, payload);
  const std::string datagram = inserter.Next();
  ASSERT_EQ(datagram.size(), 8 + 14 + 20 + 8 + payload.size()) << Log();
  EXPECT_EQ(datagram.substr(0, 8), std::string("\x0a\x01\x00\x05,\x01\x23,", 8));
  EXPECT_EQ(datagram.substr(8, 6), std::string("\x00\x11\x22\x33\x44\x55", 6));
  EXPECT_EQ(datagram.substr(8 + 12, 2), std::string("\x08\x00", 2));
  EXPECT_EQ(datagram.substr(datagram.size() - payload.size()), payload);
  EXPECT_NE(Neighbour().find("00:11:22:33:44:55"), std::string::npos) << Neighbour();

  // A ping's echo request takes the same road.
  Run("ping -c 1 -W 1 10.1.0.5 >/dev/null");
  const std::string echo = inserter.Next();
  ASSERT_GE(echo.size(), 8u + 34u);
  EXPECT_EQ(echo[8 + 23], 1);  // ICMP
  EXPECT_EQ(echo.substr(0, 8), std::string("\x0a\x01\x00\x05,\x01\x23,", 8));

  Stop();
  const std::string after = Routes();
  EXPECT_EQ(after.find("proto 77"), std::string::npos) << after;
  EXPECT_NE(after.find("10.1.0.0/16 dev uplink0"), std::string::npos) << after;
}

TEST_F(CorvidEndToEnd, OnADabChannelTheFixedMacAnswers) {
  testing::UdpPeer inserter;
  Start(RouterIni(inserter.port(), "DAB", 0));
  SendInto("10.1.0.5", 5000, "dab");
  const std::string datagram = inserter.Next();
  ASSERT_GE(datagram.size(), 8u + 14u) << Log();
  EXPECT_EQ(datagram.substr(8, 6), std::string("\x00\x09\xb8\x0b\x02\x00", 6));
  EXPECT_NE(Neighbour().find("00:09:b8:0b:02:00"), std::string::npos) << Neighbour();
  Stop();
}

TEST_F(CorvidEndToEnd, TheReplacedDefaultRouteComesBackAfterAStopAndAfterAKill) {
  // The inserter lies beyond the uplink's gateway: it keeps a host route of its own.
  Start(RouterIni(8000, "DVB", 1, "10.7.0.9"));
  std::string routes = Routes();
  EXPECT_NE(routes.find("default dev corvid0 proto 77 scope link metric 1"), std::string::npos)
      << routes;
  EXPECT_EQ(routes.find("default via 10.9.0.1"), std::string::npos) << routes;
  EXPECT_NE(routes.find("10.7.0.9 via 10.9.0.1 dev uplink0 proto 77"), std::string::npos) << routes;
  Stop();
  routes = Routes();
  EXPECT_NE(routes.find("default via 10.9.0.1 dev uplink0"), std::string::npos) << routes;
  EXPECT_EQ(routes.find("proto 77"), std::string::npos) << routes;

  // Killed while its default route stands: the next start puts the system's back first.
  Start();
  router_.Kill();
  EXPECT_EQ(Routes().find("default via 10.9.0.1"), std::string::npos) << Routes();
  EXPECT_TRUE(std::filesystem::exists(router_.dir() / "velmora.routes"));
  std::ofstream(router_.dir() / "velmora.ini") << RouterIni(8000, "DVB", 0, "10.7.0.9");
  Start();
  routes = Routes();
  EXPECT_NE(routes.find("default via 10.9.0.1 dev uplink0"), std::string::npos) << routes;
  EXPECT_EQ(routes.find("default dev corvid0"), std::string::npos) << routes;
  EXPECT_NE(Log().find("had replaced the system's default route: restoring it"), std::string::npos)
      << Log();
  EXPECT_FALSE(std::filesystem::exists(router_.dir() / "velmora.routes"));
  Stop();
}

}  // namespace
}  // namespace velmora
