// Shaping from end to end: a real router with bandwidth management on, offered more than its
// physical bandwidth on the transparent port, measured at a real UDP receiver.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "testing/inserter_datagrams.h"
#include "testing/udp_peer.h"
#include "testing/velmora_process.h"

namespace velmora {
namespace {

using Steady = std::chrono::steady_clock;
using Received = std::chrono::system_clock;  // the clock of the kernel's receive stamps
using testing::AsText;
using testing::TransparentDatagram;

struct Arrival {
  Received::time_point time;
  uint8_t host;  // last byte of the destination
  size_t length;
};

TEST(BandwidthEndToEnd, OfferedLoadAboveThePhysicalBandwidthLeavesAtItsShares) {
  const auto dir = testing::RouterFolder("velmora_e2e_bw");
  testing::UdpPeer inserter;
  testing::UdpPeer sender;
  const uint16_t transparent_port = testing::UdpPeer::FreePort();
  // Physical 2 Mbit/s; three addresses of one profile with at most 1 Mbit/s each.
  std::ofstream(dir / "velmora.ini")
      << testing::TransparentGeneral(inserter.port(), transparent_port)
      << "EnableBandwidth=1\nMaxPayloadCut=2000000\nBufTime=1000\n"
      << "[USERPROFILES]\nGold=2000000,1000000,300000\n"
      << "[NETWORKS]\nAlias=\"Net\", IPSubNetAddr=10.0.0.0, IPSubNetMask=255.0.0.0, "
         "IPSubNetMAC=\"SubNet_001\", IPSubNetPID=291\n"
         "[SubNet_001]\n10.0.0.5 00-11-22-33-44-55 Gold\n10.0.0.6 00-11-22-33-44-56 Gold\n"
         "10.0.0.7 00-11-22-33-44-57 Gold\n";
  const testing::Child router = testing::StartVelmora(dir, "router");
  ASSERT_TRUE(testing::WaitFor([&] {
    return testing::ReadAll(router.out).find("Bandwidth management is started") !=
           std::string::npos;
  })) << testing::ReadAll(router.out);

  std::atomic<bool> done{false};
  std::vector<Arrival> arrivals;
  std::thread receiver([&] {
    inserter.set_timeout(std::chrono::milliseconds(20));
    while (!done) {
      const auto [datagram, received] = inserter.NextStamped();
      if (datagram.size() >= 4) {
        arrivals.push_back({received, static_cast<uint8_t>(datagram[3]), datagram.size()});
      }
    }
  });
  // 1.5 Mbit/s offered to each address: 1000-byte datagrams every 16/3 ms per address.
  const std::string host[3] = {AsText(TransparentDatagram("10.0.0.5", 7, 0, 1000)),
                               AsText(TransparentDatagram("10.0.0.6", 7, 0, 1000)),
                               AsText(TransparentDatagram("10.0.0.7", 7, 0, 1000))};
  const Steady::time_point start = Steady::now();
  const Received::time_point received_start = Received::now();
  const auto step = std::chrono::microseconds(16000 / 3);
  for (Steady::time_point next = start; next - start < std::chrono::seconds(4); next += step) {
    std::this_thread::sleep_until(next);
    for (const std::string& datagram : host) sender.SendTo(transparent_port, datagram);
  }
  done = true;
  receiver.join();
  kill(router.pid, SIGTERM);
  EXPECT_EQ(testing::Wait(router.pid), 0);

  // After a warm-up second: 2 Mbit/s in total, a third each, no more in any 270 ms.
  const Received::time_point from = received_start + std::chrono::seconds(1);
  const Received::time_point to = received_start + std::chrono::seconds(4);
  std::map<uint8_t, uint64_t> bytes;
  uint64_t busiest = 0, window = 0;
  size_t first = 0;
  for (const Arrival& a : arrivals) {
    if (a.time >= from && a.time < to) bytes[a.host] += a.length;
    window += a.length;
    while (a.time - arrivals[first].time >= std::chrono::milliseconds(270)) {
      window -= arrivals[first++].length;
    }
    busiest = std::max(busiest, window);
  }
  uint64_t total = 0;
  for (uint8_t h : {5, 6, 7}) {
    EXPECT_NEAR(bytes[h] * 8 / 3.0, 2'000'000 / 3.0, 2'000'000 / 3.0 * 0.05) << int{h};
    total += bytes[h];
  }
  EXPECT_NEAR(total * 8 / 3.0, 2'000'000, 2'000'000 * 0.03);
  // The sender keeps any 270 ms to the physical bandwidth's share and one datagram (checked
  // exactly in simulated time); the kernel's receive stamps keep the reading thread's delays out,
  // and two more datagrams are the allowance for the jitter of the router's own sends.
  EXPECT_LE(busiest, 2'000'000 * 270 / 8000 + 1000 + 2000);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace velmora
