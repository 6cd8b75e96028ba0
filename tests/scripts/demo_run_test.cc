// The README's first run as a new user makes it: scripts/seed-demo puts the demonstration
// configuration into an empty folder, inserter-sink stands in for the inserter there, the real
// router runs headless beside it, and transparent-send sends the README's ten datagrams. The
// ports are the test's own, so that it runs beside other tests and a demonstration of its own.

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "testing/namespace_test.h"
#include "testing/tool_process.h"
#include "testing/udp_peer.h"
#include "testing/velmora_process.h"

namespace velmora {
namespace {

using testing::PcapFrames;
using testing::ReadAll;
using testing::Spawn;

// Runs the seeding as scripts/run does, its output into seed-demo.out in `dir`.
int SeedDemo(const std::filesystem::path& dir) {
  return testing::Wait(Spawn(dir, {SEED_DEMO_SCRIPT, dir.string()}, "seed-demo.out"));
}

// Whether some process holds UDP `port` on loopback: the router's transparent port is open.
bool UdpPortTaken(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(port);
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool taken =
      ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 && errno == EADDRINUSE;
  ::close(fd);
  return taken;
}

TEST(DemoRunTest, TheSeededConfigurationPutsTheReadmeDatagramsUnderTheDemoPid) {
  const auto dir = testing::RouterFolder("velmora_demo");
  ASSERT_EQ(SeedDemo(dir), 0);
  const std::string seeded = ReadAll(dir / "velmora.ini");
  ASSERT_EQ(seeded, ReadAll(DEMO_INI));

  const uint16_t inserter_port = testing::UdpPeer::FreePort();
  const uint16_t transparent_port = testing::UdpPeer::FreePort();
  std::string ini = seeded;
  const size_t general = ini.find("[GENERAL]\n");
  ASSERT_NE(general, std::string::npos);
  ini.insert(general + 10, "InserterPort=" + std::to_string(inserter_port) +
                               "\nTransparentPort=" + std::to_string(transparent_port) + "\n");
  std::ofstream(dir / "velmora.ini") << ini;

  // As scripts/run starts them.
  const pid_t sink = Spawn(dir,
                           {INSERTER_SINK_BINARY, "--port", std::to_string(inserter_port),
                            "--interval", "5", "--pcap", "inserter.pcap"},
                           "inserter-sink.out");
  const testing::Child router = testing::StartVelmora(dir, "velmora");
  ASSERT_TRUE(testing::WaitFor([&] { return UdpPortTaken(transparent_port); }))
      << ReadAll(router.out);

  // The README's command.
  EXPECT_EQ(testing::Wait(Spawn(dir,
                                {TRANSPARENT_SEND_BINARY, "--port",
                                 std::to_string(transparent_port), "--count", "10", "--pid", "1"},
                                "transparent-send.out")),
            0);
  const std::regex demo_pid_line("(^|\n)0x0100 +10 ");
  bool arrived = false;
  for (int wait = 0; wait < 4 && !arrived; ++wait) {  // a summary every 5 s
    arrived = testing::WaitFor(
        [&] { return std::regex_search(ReadAll(dir / "inserter-sink.out"), demo_pid_line); });
  }
  kill(router.pid, SIGTERM);
  EXPECT_EQ(testing::Wait(router.pid), 0);
  kill(sink, SIGTERM);
  EXPECT_EQ(testing::Wait(sink), 0);

  const std::string summary = ReadAll(dir / "inserter-sink.out");
  EXPECT_TRUE(arrived) << summary << ReadAll(router.out);
  EXPECT_EQ(summary.find("0x0000"), std::string::npos) << summary;
  EXPECT_NE(summary.find("total          10 datagrams, 0 malformed"), std::string::npos) << summary;
  const std::vector<std::string> frames = PcapFrames(ReadAll(dir / "inserter.pcap"));
  ASSERT_EQ(frames.size(), 10u);
  for (const std::string& frame : frames) {
    ASSERT_GE(frame.size(), 34u);
    EXPECT_EQ(frame.substr(0, 6), std::string("\x02\x00\x00\x00\x00\x05", 6));  // the row's MAC
    EXPECT_EQ(frame.substr(30, 4), std::string("\x0a\x00\x00\x05", 4));         // to 10.0.0.5
  }
  const std::string log = ReadAll(router.out);
  EXPECT_EQ(log.find("dropped"), std::string::npos) << log;
  EXPECT_EQ(log.find("Not configured"), std::string::npos) << log;
  EXPECT_NE(log.find("Bandwidth management is started\n"), std::string::npos) << log;
  std::filesystem::remove_all(dir);
}

TEST(DemoRunTest, AnExistingConfigurationIsNeverOverwritten) {
  const auto dir = testing::RouterFolder("velmora_demo_kept");
  const std::string own = "[GENERAL]\nLogLevel=3\n";
  std::ofstream(dir / "velmora.ini") << own;
  ASSERT_EQ(SeedDemo(dir), 0);
  EXPECT_EQ(ReadAll(dir / "velmora.ini"), own);
  std::filesystem::remove_all(dir);
}

// The README's try of the virtual adapter, in a network namespace of the test's own standing for
// the host: the adapter installed by its script, the demonstration with `CorvidEnable=1`, and a
// ping to the demonstration host arriving under its PID.
class DemoAdapterTest : public testing::NamespaceTest {};

TEST_F(DemoAdapterTest, APingToTheDemoHostArrivesUnderTheDemoPid) {
  const auto dir = testing::RouterFolder("velmora_demo_adapter");
  ASSERT_EQ(Run(std::string(CORVID_ADAPTER_SCRIPT) + " add >/dev/null"), 0);
  ASSERT_EQ(SeedDemo(dir), 0);
  std::string ini = ReadAll(dir / "velmora.ini");
  const size_t enable = ini.find("CorvidEnable=0");
  ASSERT_NE(enable, std::string::npos);
  ini[enable + 13] = '1';
  std::ofstream(dir / "velmora.ini") << ini;

  const pid_t sink =
      Spawn(dir, {INSERTER_SINK_BINARY, "--port", "8000", "--interval", "1"}, "inserter-sink.out");
  const testing::Child router = testing::StartVelmora(dir, "velmora");
  ASSERT_TRUE(testing::WaitFor([&] {
    return ReadAll(router.out).find("Corvid driver is") == std::string::npos &&
           namespace_->Output("ip route show 10.0.0.0/24").find("corvid0") != std::string::npos;
  })) << ReadAll(router.out);

  Run("ping -c 3 -i 0.2 -W 1 10.0.0.5 >/dev/null");  // no one answers: only the requests go
  const std::regex three_at_demo_pid("(^|\n)0x0100 +3 ");
  const bool arrived = testing::WaitFor(
      [&] { return std::regex_search(ReadAll(dir / "inserter-sink.out"), three_at_demo_pid); });
  kill(router.pid, SIGTERM);
  EXPECT_EQ(testing::Wait(router.pid), 0);
  kill(sink, SIGTERM);
  testing::Wait(sink);
  EXPECT_TRUE(arrived) << ReadAll(dir / "inserter-sink.out") << ReadAll(router.out);
  EXPECT_EQ(namespace_->Output("ip route show proto 77"), "");
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace velmora
