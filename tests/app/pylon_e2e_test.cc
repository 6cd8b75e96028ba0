// External traffic from end to end: the real router in a network namespace of the test's own taps
// one end of a veth pair whose other end is in a far namespace, where a real kernel stands for
// the network. Its datagrams to a row's host and to a table's group reach a UDP receiver standing
// for the inserter, its ARP request is answered, and the table's groups are joined while the
// router runs with its tap on, and never with it off.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "testing/igmp_table.h"
#include "testing/tap_pair.h"
#include "testing/udp_peer.h"
#include "testing/velmora_process.h"

namespace velmora {
namespace {

std::string RouterIni(uint16_t inserter_port, int pylon_enable) {
  return "[GENERAL]\nRemoteControlOn=0\nPylonEnable=" + std::to_string(pylon_enable) +
         "\nCorvidEnable=0\nTransparentEnable=1\nTransparentPort=" +
         std::to_string(testing::UdpPeer::FreePort()) +
         "\nL2tpEnable=0\nBouncerEnable=0\nLogOn=0\n"
         "LogLevel=3\nStatisticEnable=0\nStartListening=1\nTypeChannel=DVB\nMCastNIC=10.20.0.1\n"
         "InserterIP=127.0.0.1\nInserterPort=" +
         std::to_string(inserter_port) +
         "\n[NETWORKS]\n"
         "Alias=\"Tapped\", IPSubNetAddr=10.20.0.0, IPSubNetMask=255.255.255.0, "
         "IPSubNetMAC=\"SubNet_001\", IPSubNetPID=291\n"
         "Alias=\"Groups\", IPSubNetAddr=239.1.0.0, IPSubNetMask=255.255.0.0, "
         "IPSubNetMAC=\"SubNet_002\", IPSubNetPID=292\n"
         "[SubNet_001]\n10.20.0.5 00-11-22-33-44-55\n"
         "[SubNet_002]\n239.1.0.1 01-00-5E-01-00-01\n239.1.0.2 01-00-5E-01-00-02\n"
         "[NETV6WORKS]\nAlias=\"V6\", IPSubNetMAC=\"SubNetV6_001\", IPSubNetPID=293\n"
         "[SubNetV6_001]\nfd00::77 00:66:66:66:66:66\n";
}

class PylonEndToEnd : public testing::TapPairTest {
 protected:
  void SetUp() override {
    TapPairTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    inserter_ = std::make_unique<testing::UdpPeer>();  // on the namespace's loopback
  }

  void Start(int pylon_enable) {
    ASSERT_TRUE(router_.Start(RouterIni(inserter_->port(), pylon_enable), "View thread is started"))
        << Log();
  }
  std::string Log() const { return router_.Log(); }
  std::string Igmp() const { return testing::IgmpTable(*namespace_); }
  bool Joined(const std::string& group) const { return testing::IgmpHolds(*namespace_, group); }
  // Starts the router with its tap on and waits until it has joined the groups.
  void StartTapping() {
    Start(1);
    ASSERT_TRUE(testing::WaitFor([&] { return Joined("239.1.0.1") && Joined("239.1.0.2"); }))
        << Igmp() << Log();
  }
  // Checks that the inserter's next datagram is a UDP datagram of `size` payload bytes under
  // the header `header` (address, PID) with the Ethernet destination `mac`.
  void ExpectDelivered(std::string_view header, std::string_view mac, size_t size) const {
    const std::string datagram = inserter_->Next();
    ASSERT_EQ(datagram.size(), 8 + 14 + 20 + 8 + size) << Log();
    EXPECT_EQ(datagram.substr(0, 8), header);
    EXPECT_EQ(datagram.substr(8, 6), mac);
    EXPECT_EQ(datagram.substr(8 + 12, 2), std::string("\x08\x00", 2));
    EXPECT_EQ(datagram.substr(datagram.size() - size), std::string(size, 'p'));
  }
  // Checks that the far kernel's neighbour table reaches `address` at `mac`.
  void ExpectFarNeighbour(const std::string& address, const std::string& mac) const {
    const std::string neighbour = FarOutput("ip neigh show " + address + " dev far0");
    EXPECT_NE(neighbour.find(mac), std::string::npos) << neighbour;
  }

  std::unique_ptr<testing::UdpPeer> inserter_;
  testing::RouterRun router_{"velmora_e2e_pylon"};
};

TEST_F(PylonEndToEnd, TheFarKernelsUnicastReachesTheInserterWithThePidAndTheRowsMac) {
  ASSERT_TRUE(namespace_->entered());
  StartTapping();
  // The far kernel asks for 10.20.0.5 by broadcast ARP; the tap's answer lets the datagram go.
  SendUdpFromFar("10.20.0.5", 5000, std::string(300, 'p'));
  ExpectDelivered(std::string("\x0a\x14\x00\x05,\x01\x23,", 8),
                  std::string("\x00\x11\x22\x33\x44\x55", 6), 300);
  ExpectFarNeighbour("10.20.0.5", "00:11:22:33:44:55");
  EXPECT_NE(Log().find("Arp. Resolved."), std::string::npos) << Log();
}

TEST_F(PylonEndToEnd, AGroupsDatagramKeepsItsMulticastMac) {
  ASSERT_TRUE(namespace_->entered());
  StartTapping();
  SendUdpFromFar("239.1.0.2", 5000, std::string(200, 'p'));
  ExpectDelivered(std::string("\xef\x01\x00\x02,\x01\x24,", 8),
                  std::string("\x01\x00\x5e\x01\x00\x02", 6), 200);
}

TEST_F(PylonEndToEnd, TheFarKernelsSolicitationForAnIpv6RowIsAnsweredAndItsDatagramPassed) {
  ASSERT_TRUE(namespace_->entered());
  TurnOnFarIpv6();
  StartTapping();
  SendUdpFromFar("fd00::77", 5000, std::string(100, 'p'));
  std::string datagram = inserter_->Next();
  // The far kernel's own announcements may come first; they go to other addresses.
  for (int i = 0; i < 5 && !datagram.ends_with(std::string(100, 'p')); ++i) {
    datagram = inserter_->Next();
  }
  ASSERT_TRUE(datagram.ends_with(std::string(100, 'p'))) << Log();
  EXPECT_NE(datagram.find(std::string("\x00\x66\x66\x66\x66\x66", 6)), std::string::npos);
  ExpectFarNeighbour("fd00::77", "00:66:66:66:66:66");
  // The transparent port offered the row's address to the tap's list too, which took it.
  EXPECT_EQ(Log().find("Failed to add IPV6 address"), std::string::npos) << Log();
}

TEST_F(PylonEndToEnd, TheTablesGroupsAreJoinedOnTheTappedInterfaceWhileTheRouterRuns) {
  ASSERT_TRUE(namespace_->entered());
  StartTapping();
  EXPECT_TRUE(testing::IgmpHolds(*namespace_, "239.1.0.1", "tap0")) << Igmp();
  EXPECT_EQ(Log().find("Join error"), std::string::npos) << Log();
  EXPECT_EQ(router_.Stop(), 0);
  EXPECT_FALSE(Joined("239.1.0.1")) << Igmp();
  EXPECT_FALSE(Joined("239.1.0.2")) << Igmp();
}

TEST_F(PylonEndToEnd, ARouterWithTheTapOffJoinsNoGroup) {
  ASSERT_TRUE(namespace_->entered());
  Start(0);
  // The console thread's start has run; give a join time to show if one were made.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(Joined("239.1.0.1")) << Igmp();
  EXPECT_FALSE(Joined("239.1.0.2")) << Igmp();
  EXPECT_EQ(Log().find("Tessaro Pylon Driver"), std::string::npos) << Log();
  // With no tap, the transparent port's address has no list to go to.
  EXPECT_TRUE(testing::WaitFor([&] {
    return Log().find("Failed to add IPV6 address: fd00::77") != std::string::npos;
  })) << Log();
}

}  // namespace
}  // namespace velmora
