// Bouncer from end to end: a real router configures bouncer.ini and starts the real bouncer,
// which repeats a numbered stream to inserter-sink, wrapped with the router's PID and MAC, and
// another one as it is to a plain receiver.

#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "app/bouncer_control.h"
#include "ini/stdini.h"
#include "platform/file_system.h"
#include "testing/tool_process.h"
#include "testing/udp_peer.h"
#include "testing/velmora_process.h"

namespace velmora {
namespace {

using testing::ReadAll;

constexpr int kDatagrams = 300;
constexpr size_t kPayload = 1000;

std::string Numbered(int i) {
  char head[16];
  std::snprintf(head, sizeof head, "seq %06d ", i);
  std::string payload(head);
  payload.resize(kPayload, static_cast<char>('A' + i % 26));
  return payload;
}

// Whether `pid` runs (a zombie has ended).
bool Running(pid_t pid) {
  const std::string stat = ReadAll("/proc/" + std::to_string(pid) + "/stat");
  const size_t name_end = stat.rfind(')');
  return name_end != std::string::npos && stat.size() > name_end + 2 && stat[name_end + 2] != 'Z';
}

pid_t RecordedBouncer(const std::filesystem::path& dir) {
  std::istringstream in(ReadAll(dir / kBouncerStateFile));
  pid_t pid = 0;
  in >> pid;
  return pid;
}

// Ends the processes a test started or had started when the test ends, also when it failed.
// Owned by the test's thread.
class Leftovers {
 public:
  explicit Leftovers(const std::filesystem::path& dir) : dir_(dir) {}
  ~Leftovers() {
    pids_.push_back(RecordedBouncer(dir_));
    for (pid_t pid : pids_) {
      if (pid > 0) kill(pid, SIGTERM);
    }
  }
  void Add(pid_t pid) { pids_.push_back(pid); }
  // A process that has ended and was reaped: its id may be another process's now.
  void Forget(pid_t pid) { std::erase(pids_, pid); }

 private:
  std::filesystem::path dir_;
  std::vector<pid_t> pids_;
};

std::string RouterIni(uint16_t inserter_port) {
  return "[GENERAL]\nRemoteControlOn=0\nPylonEnable=0\nLogOn=0\nLogLevel=3\nInserterIP=127.0.0.1"
         "\nInserterPort=" +
         std::to_string(inserter_port) +
         "\nTransparentEnable=0\nL2tpEnable=0\nStatisticEnable=0\nBouncerEnable=1\n"
         "[NETWORKS]\nAlias=\"Net\", IPSubNetAddr=10.0.0.0, IPSubNetMask=255.0.0.0, "
         "IPSubNetMAC=\"SubNet_001\", IPSubNetPID=288\n"
         "Alias=\"Ini\", IPSubNetAddr=10.1.0.0, IPSubNetMask=255.255.0.0, "
         "IPSubNetMAC=\"bouncer.ini\", IPSubNetPID=1\n"
         "Alias=\"State\", IPSubNetAddr=10.2.0.0, IPSubNetMask=255.255.0.0, "
         "IPSubNetMAC=\"bouncer.state\", IPSubNetPID=2\n"
         "Alias=\"Program\", IPSubNetAddr=10.3.0.0, IPSubNetMask=255.255.0.0, "
         "IPSubNetMAC=\"bouncer\", IPSubNetPID=3\n"
         "[SubNet_001]\n10.0.0.5 00-11-22-33-44-55\n";
}

// Link 1 goes to a host of the router's tables, link 3 to a plain receiver; link 2's destination
// has a row only in the text of bouncer.ini itself, which is never a row file (and it has no port
// of its own, so that the bouncer skips it).
std::string BouncerIni(uint16_t wrapped_port, uint16_t plain_port, uint16_t receiver_port) {
  const std::string old_keys =
      "AddQoSHeaders=0\nDestinationMACAddress=00-00-00-00-00-00\nStreamPid=0\n"
      "send_protocol=UDP\nsend_unicast_ip=127.0.0.1\nsend_port=9\n";
  return "[main]\nlinks=1,2,3\n"
         "[1]\nactive=true\nreceive_bind_ip=127.0.0.1\nreceive_port=" +
         std::to_string(wrapped_port) + "\nDestinationIP=10.0.0.5\nDestinationPort=7000\n" +
         old_keys + "[2]\nactive=true\nDestinationIP=10.1.0.7\nDestinationPort=7000\n" + old_keys +
         "10.1.0.7    00-00-00-00-00-07\n"
         "[3]\nactive=true\nreceive_bind_ip=127.0.0.1\nreceive_port=" +
         std::to_string(plain_port) +
         "\nDestinationIP=127.0.0.1\nDestinationPort=" + std::to_string(receiver_port) + "\n" +
         old_keys;
}

TEST(BouncerEndToEnd, TheRouterStartsBouncerAndStreamsArriveByteForByteInOrder) {
  testing::RouterRun router("velmora_e2e_bouncer");
  const auto& dir = router.dir();
  std::filesystem::create_symlink(BOUNCER_BINARY, dir / "bouncer");
  const uint16_t sink_port = testing::UdpPeer::FreePort();
  const uint16_t wrapped_port = testing::UdpPeer::FreePort();
  const uint16_t plain_port = testing::UdpPeer::FreePort();
  testing::UdpPeer receiver;
  receiver.WidenReceiveBuffer();
  testing::UdpPeer sender;
  std::ofstream(dir / kBouncerIniFile) << BouncerIni(wrapped_port, plain_port, receiver.port());
  const pid_t sink = testing::Spawn(
      dir,
      {INSERTER_SINK_BINARY, "--port", std::to_string(sink_port), "--interval", "0", "--count",
       std::to_string(kDatagrams), "--verbose", "--pcap", "inserter.pcap"},
      "sink.out");
  Leftovers leftovers(dir);
  leftovers.Add(sink);
  ASSERT_TRUE(router.Start(RouterIni(sink_port), "bouncer: started with 2 link(s)"))
      << router.Log();
  // The bouncer may log before the router has recorded it and logged its start.
  EXPECT_TRUE(testing::WaitFor(
      [&] { return router.Log().find("Bouncer started\n") != std::string::npos; }));
  ASSERT_TRUE(testing::WaitFor([&] { return RecordedBouncer(dir) > 0; }));
  const pid_t bouncer = RecordedBouncer(dir);
  leftovers.Add(bouncer);

  // Rounds that every receiver takes in at ease, inserter-sink's verbose printing included.
  constexpr int kRound = 20;
  for (int round = 0; round < kDatagrams / kRound; ++round) {
    for (int i = round * kRound; i < (round + 1) * kRound; ++i) {
      sender.SendTo(wrapped_port, Numbered(i));
      sender.SendTo(plain_port, Numbered(i));
    }
    for (int i = round * kRound; i < (round + 1) * kRound; ++i) {
      ASSERT_EQ(receiver.Next(), Numbered(i)) << i;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  int sink_status = -1;
  ASSERT_TRUE(testing::WaitFor([&] { return waitpid(sink, &sink_status, WNOHANG) == sink; }))
      << ReadAll(dir / "sink.out");
  leftovers.Forget(sink);
  EXPECT_TRUE(WIFEXITED(sink_status) && WEXITSTATUS(sink_status) == 0);

  const std::string sink_out = ReadAll(dir / "sink.out");
  const std::regex wrapped(
      "PID 0x0120 QoS 10\\.0\\.0\\.5 MAC 00:00:00:00:00:00 > 00:11:22:33:44:55 IPv4 "
      "127\\.0\\.0\\.1 "
      "> 10\\.0\\.0\\.5 proto 17 length 1028");
  const auto lines = std::distance(std::sregex_iterator(sink_out.begin(), sink_out.end(), wrapped),
                                   std::sregex_iterator());
  EXPECT_EQ(lines, kDatagrams) << sink_out;
  const std::vector<std::string> frames = testing::PcapFrames(ReadAll(dir / "inserter.pcap"));
  ASSERT_EQ(frames.size(), static_cast<size_t>(kDatagrams));
  for (int i = 0; i < kDatagrams; ++i) {
    ASSERT_EQ(frames[i].substr(0, 6), std::string("\x00\x11\x22\x33\x44\x55", 6));
    ASSERT_EQ(frames[i].substr(14 + 28), Numbered(i)) << i;
  }

  EXPECT_EQ(router.Stop(), 0);
  EXPECT_TRUE(Running(bouncer));  // the router's end leaves its bouncer running
  PosixFileSystem files;
  stdini ini(files);
  ASSERT_TRUE(ini.Load(dir / kBouncerIniFile));
  EXPECT_EQ(ini.GetValue("1", "AddQoSHeaders"), "1");
  EXPECT_EQ(ini.GetValue("2", "AddQoSHeaders"), "0");
  EXPECT_EQ(ini.GetValue("3", "AddQoSHeaders"), "0");
  EXPECT_EQ(RecordedBouncer(dir), bouncer);
  EXPECT_TRUE(std::filesystem::is_symlink(dir / kBouncerProgramFile));

  // The next run replaces the instance the last one left behind.
  ASSERT_TRUE(router.Start("bouncer: started with 2 link(s)")) << router.Log();
  EXPECT_TRUE(testing::WaitFor([&] { return !Running(bouncer); }));
  ASSERT_TRUE(testing::WaitFor(
      [&] { return RecordedBouncer(dir) > 0 && RecordedBouncer(dir) != bouncer; }));
  const pid_t next = RecordedBouncer(dir);
  EXPECT_TRUE(Running(next));
  router.Stop();
}

}  // namespace
}  // namespace velmora
