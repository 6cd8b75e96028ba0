// The L2TP source from end to end: a scripted LAC and PPP user (scapy) logs in to the LNS of a
// real router, and the user's IP packets reach a real UDP receiver in place of the inserter with
// the PID and MAC of their destination.

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>

#include "testing/ppp_client.h"
#include "testing/udp_peer.h"
#include "testing/velmora_process.h"

namespace velmora {
namespace {

using namespace std::string_literals;

// The inserter datagram of the client's UDP packet number `n` from 10.9.0.1 to `to`.
void ExpectDatagram(const std::string& got, const std::string& qos_ip, const std::string& pid,
                    const std::string& mac, int n) {
  ASSERT_EQ(got.size(), 22u + 20 + 8 + 60) << got;
  EXPECT_EQ(got.substr(0, 4), qos_ip);
  EXPECT_EQ(got.substr(4, 4), "," + pid + ",");
  EXPECT_EQ(got.substr(8, 6), mac);
  EXPECT_EQ(got.substr(14, 8), "\x02\x02\x02\x02\x02\x02\x08\x00"s);
  EXPECT_EQ(got.substr(22 + 12, 4), "\x0a\x09\x00\x01"s);
  EXPECT_EQ(got.substr(22 + 16, 4), qos_ip);
  EXPECT_EQ(got.substr(22 + 28, 10), "velmora " + std::to_string(n) + " ");
}

TEST(L2tpEndToEnd, AUsersPacketsReachTheInserterWithPidAndMac) {
  if (!testing::PppClientAvailable()) {
    GTEST_SKIP() << "needs python3-scapy (scripts/install-deps installs it)";
  }
  const auto dir = testing::RouterFolder("velmora_e2e_l2tp");
  testing::UdpPeer inserter;
  const uint16_t l2tp_port = testing::UdpPeer::FreePort();
  std::ofstream(dir / "velmora.ini")
      << testing::TransparentGeneral(inserter.port(), testing::UdpPeer::FreePort())
      << "L2tpEnable=1\nL2tpPort=" << l2tp_port << "\nL2tpPoolIP=10.9.0.1\nL2tpPool=4\n"
      << "TypeChannel=DAB\n"
      << "[NETWORKS]\nAlias=\"Net\", IPSubNetAddr=10.0.0.0, IPSubNetMask=255.0.0.0, "
         "IPSubNetMAC=\"SubNet_001\", IPSubNetPID=291\n"
         "Alias=\"Groups\", IPSubNetAddr=239.0.0.0, IPSubNetMask=255.0.0.0, "
         "IPSubNetMAC=\"SubNet_002\", IPSubNetPID=768\n"
         "[SubNet_001]\n10.0.0.5 00-11-22-33-44-55\n"
         "[L2TPUSERS]\nann=secret\n[L2TPPEERS]\n127.0.0.1\n";
  const testing::Child router = testing::StartVelmora(dir, "router");
  ASSERT_TRUE(testing::WaitFor([&] {
    return testing::ReadAll(router.out).find("L2tp LNS server started") != std::string::npos;
  })) << testing::ReadAll(router.out);

  // A unicast host with its row (the row counts on DAB too), a group, and a host without a row.
  std::string out =
      testing::RunPppClient(l2tp_port, "--send-to 10.0.0.5:5000 --packets 2 --size 60 --seconds 5");
  ASSERT_NE(out.find("sent 2"), std::string::npos) << out;
  ExpectDatagram(inserter.Next(), "\x0a\x00\x00\x05"s, "\x01\x23"s, "\x00\x11\x22\x33\x44\x55"s, 0);
  ExpectDatagram(inserter.Next(), "\x0a\x00\x00\x05"s, "\x01\x23"s, "\x00\x11\x22\x33\x44\x55"s, 1);
  out = testing::RunPppClient(l2tp_port, "--send-to 10.0.0.6:5000 --size 60 --seconds 5");
  ASSERT_NE(out.find("sent 1"), std::string::npos) << out;
  out = testing::RunPppClient(l2tp_port, "--send-to 239.1.2.3:5000 --size 60 --seconds 5");
  ASSERT_NE(out.find("sent 1"), std::string::npos) << out;
  // The packet to 10.0.0.6 was dropped: the group's datagram comes next.
  ExpectDatagram(inserter.Next(), "\xef\x01\x02\x03"s, "\x03\x00"s, "\x00\x09\xb8\x0b\x02\x00"s, 0);

  // A user who is not in the list does not get in.
  out = testing::RunPppClient(l2tp_port, "--user eve --seconds 5");
  EXPECT_NE(out.find("CHAP failure"), std::string::npos) << out;

  kill(router.pid, SIGTERM);
  EXPECT_EQ(testing::Wait(router.pid), 0);
  const std::string console = testing::ReadAll(router.out);
  EXPECT_NE(console.find("L2tp LNS server was"), std::string::npos) << console;
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace velmora
