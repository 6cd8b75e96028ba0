// External traffic from end to end: the real router in a network namespace of the test's own taps
// one end of a veth pair whose other end is in a far namespace, where a real kernel stands for
// the network. Its datagrams to a row's host and to a table's group reach a UDP receiver standing
// for the inserter, its ARP request is answered, and the table's groups are joined while the
// router runs with its tap on, and never with it off.

#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "testing/far_namespace.h"
#include "testing/namespace_test.h"
#include "testing/udp_peer.h"
#include "testing/velmora_process.h"

namespace velmora {
namespace {

std::string RouterIni(uint16_t inserter_port, int pylon_enable) {
  return "[GENERAL]\nRemoteControlOn=0\nPylonEnable=" + std::to_string(pylon_enable) +
         "\nCorvidEnable=0\nTransparentEnable=0\nL2tpEnable=0\nBouncerEnable=0\nLogOn=0\n"
         "LogLevel=3\nStatisticEnable=0\nStartListening=1\nTypeChannel=DVB\nMCastNIC=10.20.0.1\n"
         "InserterIP=127.0.0.1\nInserterPort=" +
         std::to_string(inserter_port) +
         "\n[NETWORKS]\n"
         "Alias=\"Tapped\", IPSubNetAddr=10.20.0.0, IPSubNetMask=255.255.255.0, "
         "IPSubNetMAC=\"SubNet_001\", IPSubNetPID=291\n"
         "Alias=\"Groups\", IPSubNetAddr=239.1.0.0, IPSubNetMask=255.255.0.0, "
         "IPSubNetMAC=\"SubNet_002\", IPSubNetPID=292\n"
         "[SubNet_001]\n10.20.0.5 00-11-22-33-44-55\n"
         "[SubNet_002]\n239.1.0.1 01-00-5E-01-00-01\n239.1.0.2 01-00-5E-01-00-02\n";
}

// The IGMP table's text for a group: the hexadecimal of its address in network order read as a
// host integer.
std::string IgmpText(const std::string& dotted) {
  in_addr address{};
  inet_pton(AF_INET, dotted.c_str(), &address);
  char text[9];
  std::snprintf(text, sizeof text, "%08X", address.s_addr);
  return text;
}

class PylonEndToEnd : public testing::NamespaceTest {
 protected:
  void SetUp() override {
    NamespaceTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    far_ = std::make_unique<testing::FarNamespace>(*namespace_, "tap0", "10.20.0.1/24",
                                                   "10.20.0.2/24");
    ASSERT_TRUE(far_->ready());
    dir_ = testing::RouterFolder("velmora_e2e_pylon");
  }
  void TearDown() override {
    if (router_.pid > 0) {
      kill(router_.pid, SIGKILL);
      testing::Wait(router_.pid);
    }
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  void Start(const std::string& ini) {
    std::ofstream(dir_ / "velmora.ini") << ini;
    router_ = testing::StartVelmora(dir_, "router");
    ASSERT_TRUE(testing::WaitFor([&] {
      return Log().find("View thread is started") != std::string::npos;
    })) << Log();
  }
  void Stop() {
    kill(router_.pid, SIGTERM);
    EXPECT_EQ(testing::Wait(router_.pid), 0);
    router_.pid = -1;
  }
  std::string Log() const { return testing::ReadAll(router_.out); }
  // The router's namespace's IGMP table, read through that namespace's own /proc.
  std::string Igmp() const { return namespace_->Output("cat /proc/net/igmp"); }
  bool Joined(const std::string& group) const {
    return Igmp().find(IgmpText(group)) != std::string::npos;
  }
  // A datagram of `size` bytes sent by the far kernel to `address`, port 5000, out of far0.
  void SendFromFar(const std::string& address, size_t size) const {
    ASSERT_EQ(far_->Run("python3 -c \"import socket; s = socket.socket(socket.AF_INET, "
                        "socket.SOCK_DGRAM); s.setsockopt(socket.IPPROTO_IP, "
                        "socket.IP_MULTICAST_IF, socket.inet_aton(\\\"10.20.0.2\\\")); "
                        "s.sendto(b\\\"p\\\" * " +
                        std::to_string(size) + ", (\\\"" + address + "\\\", 5000))\""),
              0);
  }

  std::unique_ptr<testing::FarNamespace> far_;
  std::filesystem::path dir_;
  testing::Child router_{-1, {}};
};

TEST_F(PylonEndToEnd, TheFarKernelsUnicastReachesTheInserterWithThePidAndTheRowsMac) {
  ASSERT_TRUE(namespace_->entered());
  testing::UdpPeer inserter;
  Start(RouterIni(inserter.port(), 1));
  ASSERT_TRUE(testing::WaitFor([&] { return Joined("239.1.0.1"); })) << Log();

  // The far kernel asks for 10.20.0.5 by broadcast ARP; the tap's answer lets the datagram go.
  SendFromFar("10.20.0.5", 300);
  const std::string datagram = inserter.Next();
  ASSERT_EQ(datagram.size(), 8 + 14 + 20 + 8 + 300u) << Log();
  EXPECT_EQ(datagram.substr(0, 8), std::string("\x0a\x14\x00\x05,\x01\x23,", 8));
  EXPECT_EQ(datagram.substr(8, 6), std::string("\x00\x11\x22\x33\x44\x55", 6));
  EXPECT_EQ(datagram.substr(8 + 12, 2), std::string("\x08\x00", 2));
  EXPECT_EQ(datagram.substr(datagram.size() - 300), std::string(300, 'p'));
  const std::string neighbour = far_->Output("ip neigh show 10.20.0.5 dev far0");
  EXPECT_NE(neighbour.find("00:11:22:33:44:55"), std::string::npos) << neighbour;
  EXPECT_NE(Log().find("Arp. Resolved."), std::string::npos) << Log();
}

TEST_F(PylonEndToEnd, AGroupsDatagramKeepsItsMulticastMac) {
  ASSERT_TRUE(namespace_->entered());
  testing::UdpPeer inserter;
  Start(RouterIni(inserter.port(), 1));
  ASSERT_TRUE(testing::WaitFor([&] { return Joined("239.1.0.2"); })) << Log();

  SendFromFar("239.1.0.2", 200);
  const std::string datagram = inserter.Next();
  ASSERT_EQ(datagram.size(), 8 + 14 + 20 + 8 + 200u) << Log();
  EXPECT_EQ(datagram.substr(0, 8), std::string("\xef\x01\x00\x02,\x01\x24,", 8));
  EXPECT_EQ(datagram.substr(8, 6), std::string("\x01\x00\x5e\x01\x00\x02", 6));
}

TEST_F(PylonEndToEnd, TheTablesGroupsAreJoinedOnTheTappedInterfaceWhileTheRouterRuns) {
  ASSERT_TRUE(namespace_->entered());
  testing::UdpPeer inserter;
  Start(RouterIni(inserter.port(), 1));
  ASSERT_TRUE(testing::WaitFor([&] { return Joined("239.1.0.1") && Joined("239.1.0.2"); }))
      << Igmp() << Log();
  const std::string on_tap = namespace_->Output("grep -A3 tap0 /proc/net/igmp");
  EXPECT_NE(on_tap.find(IgmpText("239.1.0.1")), std::string::npos) << on_tap;
  EXPECT_EQ(Log().find("Join error"), std::string::npos) << Log();
  Stop();
  EXPECT_FALSE(Joined("239.1.0.1")) << Igmp();
  EXPECT_FALSE(Joined("239.1.0.2")) << Igmp();
}

TEST_F(PylonEndToEnd, ARouterWithTheTapOffJoinsNoGroup) {
  ASSERT_TRUE(namespace_->entered());
  testing::UdpPeer inserter;
  Start(RouterIni(inserter.port(), 0));
  // The console thread's start has run; give a join time to show if one were made.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(Joined("239.1.0.1")) << Igmp();
  EXPECT_FALSE(Joined("239.1.0.2")) << Igmp();
  EXPECT_EQ(Log().find("Tessaro Pylon Driver"), std::string::npos) << Log();
  Stop();
}

}  // namespace
}  // namespace velmora
