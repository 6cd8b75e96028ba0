// The first source from end to end: datagrams sent to the transparent port of a real router reach
// a real UDP receiver in its place of the inserter, corrected and in order.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "testing/inserter_datagrams.h"
#include "testing/udp_peer.h"
#include "testing/velmora_process.h"

namespace velmora {
namespace {

using testing::AsText;
using testing::TransparentDatagram;

// What the router makes of a datagram to 10.0.0.5 (PID 0x0123, IP/MAC row 00-11-22-33-44-55) or,
// with a zero MAC and PID, of one it passes through.
std::string Expected(std::vector<uint8_t> datagram) {
  std::copy_n(datagram.begin() + 8 + 30, 4, datagram.begin());
  if (datagram[5] != 0 || datagram[6] != 0 || datagram[8] != 0) {
    datagram[5] = 0x01;
    datagram[6] = 0x23;
    std::copy_n("\x00\x11\x22\x33\x44\x55", 6, datagram.begin() + 8);
  }
  return AsText(datagram);
}

TEST(TransparentEndToEnd, DatagramsReachTheInserterByteForByteAndInOrder) {
  const auto dir = testing::RouterFolder("velmora_e2e_tp");
  testing::UdpPeer inserter;
  testing::UdpPeer sender;
  const uint16_t transparent_port = testing::UdpPeer::FreePort();
  std::ofstream(dir / "velmora.ini")
      << testing::TransparentGeneral(inserter.port(), transparent_port)
      << "[NETWORKS]\nAlias=\"Net\", IPSubNetAddr=10.0.0.0, IPSubNetMask=255.0.0.0, "
         "IPSubNetMAC=\"SubNet_001\", IPSubNetPID=291\n"
         "[SubNet_001]\n10.0.0.5 00-11-22-33-44-55\n";
  const testing::Child router = testing::StartVelmora(dir, "router");

  // The port is bound a moment after the start: probe until the first datagram comes through.
  const std::vector<uint8_t> probe = TransparentDatagram("10.0.0.5", 0, 0, 60);
  bool up = false;
  inserter.set_timeout(std::chrono::milliseconds(50));
  for (int i = 0; i < 200 && !up; ++i) {
    sender.SendTo(transparent_port, AsText(probe));
    up = inserter.Next() == Expected(probe);
  }
  ASSERT_TRUE(up) << testing::ReadAll(router.out);
  while (inserter.Next() == Expected(probe)) {  // the probes still on their way
  }
  inserter.set_timeout(std::chrono::seconds(5));

  // Bursts the receiver's buffer holds: sizes from the smallest frame to the longest accepted,
  // resolved and passed through, each with its sequence number in its last bytes.
  for (int burst = 0; burst < 10; ++burst) {
    std::vector<std::string> expected;
    for (int i = 0; i < 20; ++i) {
      const size_t size = 42 + (burst * 20 + i) * 97 % (4072 - 42 + 1);
      std::vector<uint8_t> datagram = TransparentDatagram("10.0.0.5", i % 2 ? 7 : 0, 0, size);
      datagram.back() = static_cast<uint8_t>(burst * 20 + i);
      sender.SendTo(transparent_port, AsText(datagram));
      expected.push_back(Expected(datagram));
    }
    for (const std::string& want : expected) ASSERT_EQ(inserter.Next(), want) << "burst " << burst;
  }

  kill(router.pid, SIGTERM);
  EXPECT_EQ(testing::Wait(router.pid), 0);
  EXPECT_EQ(testing::ReadAll(router.out).find("Errorcode="), std::string::npos);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace velmora
