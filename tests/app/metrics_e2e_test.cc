// The metrics endpoint of a real router, scraped by a real HTTP client while traffic flows through
// the transparent port, agrees with the remote control's GET answers; the QoS panel's figures
// the LNS's tunnels, sessions and logins and the output queue's depth as an endpoint of the test's
// own serves them.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>

#include "app/metrics_endpoint.h"
#include "app/settings.h"
#include "app/status_refresher.h"
#include "stats/status_counters.h"
#include "support/log.h"
#include "testing/inserter_datagrams.h"
#include "testing/metrics_scrape.h"
#include "testing/remote_client.h"
#include "testing/udp_peer.h"
#include "testing/velmora_process.h"

namespace velmora {
namespace {

using testing::RouterRun;
using testing::Scrape;
using testing::UdpPeer;

// The value of an unlabelled sample; -1 when the text has none.
long long Sample(const std::string& text, const std::string& name) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(name + " ", 0) == 0) return std::stoll(line.substr(name.size() + 1));
  }
  return -1;
}

// A machine-mode GET answer of two numbers: packets and kbit/s.
std::pair<long long, long long> PacketsAndRate(testing::RemoteClient& client,
                                               const std::string& command) {
  client.Send(command + "\n");
  std::istringstream line(client.ReadLine());
  long long packets = -1, kbps = -1;
  line >> packets >> kbps;
  return {packets, kbps};
}

std::string MetricsIni(uint16_t inserter, uint16_t transparent, uint16_t remote, uint16_t metrics) {
  std::string general = testing::TransparentGeneral(inserter, transparent);
  general.replace(general.find("RemoteControlOn=0"), 17, "RemoteControlOn=1");
  return general +
         "BouncerEnable=0\nEnableBandwidth=0\nStartListening=1\n"
         "RemoteControlBind=127.0.0.1\nRemoteControlPort=" +
         std::to_string(remote) + "\nMetricsPort=" + std::to_string(metrics) +
         "\n[NETWORKS]\nAlias=\"Net\", IPSubNetAddr=10.0.0.0, IPSubNetMask=255.0.0.0, "
         "IPSubNetMAC=\"SubNet_001\", IPSubNetPID=291\n[SubNet_001]\n10.0.0.5 00-11-22-33-44-55\n";
}

TEST(MetricsE2e, ScrapesWhileTrafficFlowsAgreeWithTheRemoteControl) {
  if (std::system("command -v curl >/dev/null") != 0) GTEST_SKIP() << "curl is not installed";
  UdpPeer inserter;
  UdpPeer sender;
  const uint16_t transparent = UdpPeer::FreePort();
  const uint16_t remote = testing::FreeTcpPort();
  const uint16_t metrics = testing::FreeTcpPort();
  RouterRun router("velmora_metrics_e2e");
  ASSERT_TRUE(router.Start(MetricsIni(inserter.port(), transparent, remote, metrics),
                           "Metrics on http://127.0.0.1:"))
      << router.Log();

  // 2.5 s of traffic, 20 datagrams every 10 ms, scraped meanwhile.
  const std::string datagram = testing::AsText(testing::TransparentDatagram("10.0.0.5", 7, 0, 500));
  std::atomic<bool> flowing{true};
  std::thread traffic([&] {
    for (int batch = 0; batch < 250; ++batch) {
      for (int i = 0; i < 20; ++i) sender.SendTo(transparent, datagram);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    flowing = false;
  });
  long long last_packets = 0;
  int scrapes = 0;
  long long highest_rate = 0;
  while (flowing) {
    const std::string text = Scrape(metrics);
    ASSERT_FALSE(text.empty()) << router.Log();
    const long long packets = Sample(text, "velmora_unicast_packets_total");
    EXPECT_GE(packets, last_packets);
    last_packets = packets;
    highest_rate = std::max(highest_rate, Sample(text, "velmora_unicast_rate_kbps"));
    ++scrapes;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  traffic.join();
  EXPECT_GE(scrapes, 3);
  EXPECT_GT(last_packets, 0);
  EXPECT_GT(highest_rate, 0);

  // The same figures as GET USTAT and GET MSTAT: a scrape between two equal answers must match.
  testing::RemoteClient client(remote);
  ASSERT_TRUE(client.connected());
  bool compared = false;
  for (int attempt = 0; attempt < 5 && !compared; ++attempt) {
    const auto unicast = PacketsAndRate(client, "GET USTAT");
    const auto multicast = PacketsAndRate(client, "GET MSTAT");
    const std::string text = Scrape(metrics);
    if (PacketsAndRate(client, "GET USTAT") != unicast) continue;
    compared = true;
    EXPECT_GT(unicast.first, 0);
    EXPECT_EQ(Sample(text, "velmora_unicast_packets_total"), unicast.first);
    EXPECT_EQ(Sample(text, "velmora_unicast_rate_kbps"), unicast.second);
    EXPECT_EQ(Sample(text, "velmora_multicast_packets_total"), multicast.first);
    EXPECT_EQ(Sample(text, "velmora_multicast_rate_kbps"), multicast.second);
    EXPECT_EQ(Sample(text, "velmora_service_running"), 1);
    EXPECT_EQ(Sample(text, "velmora_l2tp_tunnels"), 0);
  }
  EXPECT_TRUE(compared);
  EXPECT_EQ(router.Stop(), 0);
}

TEST(MetricsEndpoint, ServesTheQosPanelPerProfileTheLnsCountsAndTheDrops) {
  if (std::system("command -v curl >/dev/null") != 0) GTEST_SKIP() << "curl is not installed";
  Settings settings;
  StatusCounters counters;
  Log log;
  StatusRefresher refresher(counters, log, RealClock());
  refresher.set_qos_source([] {
    QosFigures figures{.physical_bandwidth = 8000000};
    figures.statistics.current_total = 1500000;
    figures.statistics.profiles["Demo"] = {.profile = {.alias = "Demo", .summary = 2000000},
                                           .current = 1500000,
                                           .address_count = 3,
                                           .share = 75,
                                           .dropped = true};
    return std::optional<QosFigures>(figures);
  });
  refresher.set_queue_probe([] { return size_t{17}; });
  refresher.set_drop_probe([] { return SourceDrops{8, 11}; });
  refresher.Refresh();
  counters.oversized_drops = 4;
  counters.traffic_limit_drops = 6;
  const auto l2tp = [] { return L2tpFigures{2, 3, 5, 1}; };
  const auto output_drops = [] { return uint64_t{9}; };
  const MetricsEndpoint endpoint({settings, refresher, counters, l2tp, output_drops}, "127.0.0.1",
                                 0);
  const std::string text = Scrape(endpoint.port());
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(Sample(text, "velmora_qos_physical_bandwidth_bits_per_second"), 8000000);
  EXPECT_EQ(Sample(text, "velmora_qos_rate_bits_per_second"), 1500000);
  EXPECT_EQ(Sample(text, "velmora_qos_profile_rate_bits_per_second{profile=\"Demo\"}"), 1500000);
  EXPECT_EQ(Sample(text, "velmora_qos_profile_addresses{profile=\"Demo\"}"), 3);
  EXPECT_EQ(Sample(text, "velmora_qos_profile_dropped{profile=\"Demo\"}"), 1);
  EXPECT_NE(text.find("velmora_qos_profile_share_ratio{profile=\"Demo\"} 0.75"), std::string::npos);
  EXPECT_EQ(Sample(text, "velmora_l2tp_tunnels"), 2);
  EXPECT_EQ(Sample(text, "velmora_l2tp_sessions"), 3);
  EXPECT_EQ(Sample(text, "velmora_l2tp_logins_total{result=\"accepted\"}"), 5);
  EXPECT_EQ(Sample(text, "velmora_l2tp_logins_total{result=\"refused\"}"), 1);
  EXPECT_NE(text.find("# TYPE velmora_l2tp_logins_total counter"), std::string::npos);
  EXPECT_EQ(Sample(text, "velmora_output_queue_depth"), 17);
  EXPECT_EQ(Sample(text, "velmora_output_dropped_datagrams_total"), 9);
  EXPECT_EQ(Sample(text, "velmora_source_dropped_frames_total{reason=\"oversized\"}"), 4);
  EXPECT_EQ(Sample(text, "velmora_source_dropped_frames_total{reason=\"traffic_limit\"}"), 6);
  EXPECT_EQ(Sample(text, "velmora_source_dropped_frames_total{reason=\"adapter_transmit\"}"), 8);
  EXPECT_EQ(Sample(text, "velmora_source_dropped_frames_total{reason=\"tap_ring\"}"), 11);
  EXPECT_NE(text.find("# HELP velmora_qos_profile_rate_bits_per_second "), std::string::npos);
}

}  // namespace
}  // namespace velmora
