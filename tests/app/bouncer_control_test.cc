#include "app/bouncer_control.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "app/settings.h"
#include "ini/stdini.h"
#include "platform/address_text.h"
#include "platform/file_system.h"
#include "tables/network_tables.h"
#include "testing/list_console.h"
#include "testing/tool_process.h"
#include "testing/udp_peer.h"
#include "testing/velmora_process.h"

namespace velmora {
namespace {

using testing::ReadAll;

constexpr char kSixKeys[] =
    "AddQoSHeaders=0\nDestinationMACAddress=old\nStreamPid=0\nsend_protocol=old\n"
    "send_unicast_ip=old\nsend_port=0\n";

// The file that runs as sleep, wherever this system keeps it (/bin may lead to /usr/bin).
std::string SleepProgram() {
  return std::filesystem::canonical("/bin/sleep").string();
}

// A router folder with the real bouncer program in it, tables whose subnet 10.0.0.0/8 has PID
// 0x0120 and the IP/MAC rows 10.0.0.5 and 192.168.5.5 (outside every subnet), and the bouncer
// control of one run of that router.
class BouncerControlTest : public ::testing::Test {
 protected:
  BouncerControlTest() : dir_(testing::RouterFolder("bouncer_control")) {
    std::filesystem::create_symlink(BOUNCER_BINARY, dir_ / "bouncer");
    settings_.InserterIP = DottedToAddress("127.0.0.1");
    settings_.InserterPort = inserter_.port();
    TableSnapshot snapshot;
    snapshot.InsertSubnet({.id = 1,
                           .Alias = "Net",
                           .IPSubNetAddr = DottedToAddress("10.0.0.0"),
                           .IPSubNetMask = DottedToAddress("255.0.0.0"),
                           .IPSubNetMAC = "SubNet_001",
                           .IPSubNetPID = 0x0120});
    for (const auto& [address, mac] : {std::pair{"10.0.0.5", "00-11-22-33-44-55"},
                                       std::pair{"192.168.5.5", "00-11-22-33-44-66"}}) {
      snapshot.InsertIpMacRow({.address = DottedToAddress(address),
                               .mac = *ParseMac(mac),
                               .address_text = address,
                               .mac_text = mac,
                               .subnet = 1});
    }
    tables_.Publish(std::move(snapshot));
    log_.Configure({.level = 3});
    log_.SetConsoleTarget(&console_);
  }
  ~BouncerControlTest() override {
    log_.SetConsoleTarget(nullptr);
    EndRecordedBouncer();
    std::filesystem::remove_all(dir_);
  }

  BouncerControl Control(std::string program_fallback = "") {
    return BouncerControl({.settings = settings_,
                           .tables = tables_,
                           .files = files_,
                           .log = log_,
                           .clock = RealClock(),
                           .folder = dir_.string(),
                           .program_fallback = std::move(program_fallback)});
  }
  // A script in the place of the bouncer program.
  void ReplaceProgram(const std::string& script) {
    std::filesystem::remove(dir_ / "bouncer");
    std::ofstream(dir_ / "bouncer") << script;
    std::filesystem::permissions(dir_ / "bouncer", std::filesystem::perms::owner_all);
  }
  void WriteIni(const std::string& text) { std::ofstream(dir_ / kBouncerIniFile) << text; }
  stdini ReadIni() {
    stdini ini(files_);
    EXPECT_TRUE(ini.Load(dir_ / kBouncerIniFile));
    return ini;
  }
  // The process the state file names; 0 when there is none.
  pid_t RecordedPid() {
    std::istringstream in(ReadAll(dir_ / kBouncerStateFile));
    pid_t pid = 0;
    in >> pid;
    return pid;
  }
  void EndRecordedBouncer() {
    const pid_t pid = RecordedPid();
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  // A link that bouncer serves: its stream on a port of its own, repeated to `receiver`.
  std::string ServedLink(uint16_t port, const testing::UdpPeer& receiver) {
    return "[main]\nlinks=1\n[1]\nactive=true\nreceive_bind_ip=127.0.0.1\nreceive_port=" +
           std::to_string(port) +
           "\nDestinationIP=127.0.0.1\nDestinationPort=" + std::to_string(receiver.port()) + "\n";
  }

  std::filesystem::path dir_;
  testing::UdpPeer inserter_;
  Settings settings_;
  NetworkTables tables_;
  PosixFileSystem files_;
  testing::ListConsole console_;
  Log log_;
};

TEST_F(BouncerControlTest, WritesTheSixKeysOnlyIntoCompleteLinksToHostsOfTheTables) {
  const std::string links = std::string("[main]\nlinks=1,2,3,4,5,6,7\n") +
                            "[1]\nactive=True\nDestinationIP=10.0.0.5\n" + kSixKeys +
                            "[2]\nactive=true\nDestinationIP=10.0.0.5\nport=9\n" + kSixKeys +
                            "[3]\nactive=true\nDestinationIP=10.0.0.6\n" + kSixKeys +
                            "[4]\nactive=true\nDestinationIP=192.168.5.5\n" + kSixKeys +
                            "[5]\nactive=true\nDestinationIP=10.0.0.256\n" + kSixKeys +
                            "[6]\nactive=true\nDestinationIP=10.0.0.5\n" + kSixKeys +
                            "[7]\nactive=false\nDestinationIP=10.0.0.5\n" + kSixKeys;
  std::string without_send_port = links;
  without_send_port.erase(without_send_port.rfind("send_port=0\n[7]"), 12);
  WriteIni(without_send_port);
  stdini before(files_);
  before.Parse(without_send_port);

  Control().ConfigureAndStartBouncer();

  const stdini after = ReadIni();
  for (const char* untouched : {"main", "1", "3", "4", "5", "6", "7"}) {
    EXPECT_EQ(after.sections().at(untouched), before.sections().at(untouched)) << untouched;
  }
  EXPECT_EQ(after.sections().at("2"),
            (stdini::Section{{"AddQoSHeaders", "1"},
                             {"DestinationIP", "10.0.0.5"},
                             {"DestinationMACAddress", "00-11-22-33-44-55"},
                             {"StreamPid", "288"},
                             {"active", "true"},
                             {"port", "9"},
                             {"send_port", std::to_string(inserter_.port())},
                             {"send_protocol", "UDP"},
                             {"send_unicast_ip", "127.0.0.1"}}));
  EXPECT_TRUE(console_.Has("Bouncer link 6: no key send_port, link left unchanged"));
  EXPECT_EQ(console_.Count("Bouncer link"), 1);
  EXPECT_TRUE(console_.Has("Bouncer started"));
  EXPECT_TRUE(console_.Has("Bouncer program " + (dir_ / "bouncer").string() + " runs as process " +
                           std::to_string(RecordedPid())));
  EXPECT_EQ(kill(RecordedPid(), 0), 0);
}

TEST_F(BouncerControlTest, WithoutLinksTheFileKeepsItsContentAndBouncerStillStarts) {
  WriteIni("; no links yet\n[main]\nname = x\n");
  Control().ConfigureAndStartBouncer();
  EXPECT_EQ(ReadIni().sections(), (stdini::Sections{{"", {}}, {"main", {{"name", "x"}}}}));
  EXPECT_TRUE(console_.Has("Bouncer started"));
}

TEST_F(BouncerControlTest, BouncerRunsInASessionOfItsOwn) {
  Control().ConfigureAndStartBouncer();
  const pid_t bouncer = RecordedPid();
  ASSERT_GT(bouncer, 0);
  EXPECT_EQ(getsid(bouncer), bouncer);
  EXPECT_NE(getpgid(bouncer), getpgrp());
}

TEST_F(BouncerControlTest, AMissingFileIsReportedAndBouncerStillStarts) {
  Control().ConfigureAndStartBouncer();
  EXPECT_TRUE(console_.Has("Bouncer ini read error"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / kBouncerIniFile));
  EXPECT_TRUE(console_.Has("Bouncer started"));
  EXPECT_GT(RecordedPid(), 0);
}

TEST_F(BouncerControlTest, TheSecondStartFollowsTheEndOfTheFirstInstance) {
  testing::UdpPeer receiver;
  testing::UdpPeer sender;
  const uint16_t port = testing::UdpPeer::FreePort();
  WriteIni(ServedLink(port, receiver));
  BouncerControl control = Control();
  control.ConfigureAndStartBouncer();
  const pid_t first = RecordedPid();
  ASSERT_GT(first, 0);

  const auto before = std::chrono::steady_clock::now();
  control.ConfigureAndStartBouncer();
  EXPECT_GE(std::chrono::steady_clock::now() - before, BouncerControl::kRestartGap);
  const pid_t second = RecordedPid();
  EXPECT_NE(second, first);
  EXPECT_NE(kill(first, 0), 0);  // ended and reaped before the second one started
  // The second one holds the link's port, which the first one had to give up for it.
  for (int i = 0; i < 50; ++i) {
    sender.SendTo(port, "after " + std::to_string(i));
    receiver.set_timeout(std::chrono::milliseconds(100));
    if (receiver.Next().starts_with("after ")) return;
  }
  ADD_FAILURE() << "the second bouncer does not repeat the link";
}

TEST_F(BouncerControlTest, AnInstanceThatIgnoresSigtermIsKilledAfterTwoSeconds) {
  ReplaceProgram("#!/bin/sh\ntrap '' TERM\nexec sleep 30\n");
  BouncerControl control = Control();
  control.ConfigureAndStartBouncer();
  const pid_t first = RecordedPid();
  // Once it runs sleep, the script has set SIGTERM aside.
  ASSERT_TRUE(testing::WaitFor([&] {
    return IdentifyProcess(first).value_or(ProcessIdentity{}).executable == SleepProgram();
  }));
  const auto before = std::chrono::steady_clock::now();
  control.ConfigureAndStartBouncer();
  EXPECT_GE(std::chrono::steady_clock::now() - before, BouncerControl::kEndGrace);
  EXPECT_NE(kill(first, 0), 0);
  EXPECT_NE(RecordedPid(), first);
}

TEST_F(BouncerControlTest, ALaterRunReplacesTheInstanceOfAnEarlierOne) {
  WriteIni("[main]\nlinks=\n");
  Control().ConfigureAndStartBouncer();
  const pid_t earlier = RecordedPid();
  ASSERT_GT(earlier, 0);

  Control().ConfigureAndStartBouncer();  // a new run of the router: nothing remembered but the file
  const pid_t later = RecordedPid();
  EXPECT_NE(later, earlier);
  siginfo_t info{};
  // The earlier instance has exited (it is this test's child, so it waits to be reaped here).
  ASSERT_EQ(waitid(P_PID, earlier, &info, WEXITED | WNOHANG), 0);
  EXPECT_EQ(info.si_pid, earlier);
  EXPECT_EQ(kill(later, 0), 0);
}

TEST_F(BouncerControlTest, ALaterRunReplacesAnInstanceWhoseProgramFileWasReplaced) {
  std::filesystem::remove(dir_ / "bouncer");
  std::filesystem::copy_file(BOUNCER_BINARY, dir_ / "bouncer");
  WriteIni("[main]\nlinks=\n");
  Control().ConfigureAndStartBouncer();
  const pid_t earlier = RecordedPid();
  ASSERT_GT(earlier, 0);
  // An upgrade puts a new file in the old one's place while the old program runs on.
  std::filesystem::copy_file(BOUNCER_BINARY, dir_ / "bouncer.new");
  std::filesystem::rename(dir_ / "bouncer.new", dir_ / "bouncer");

  Control().ConfigureAndStartBouncer();
  EXPECT_NE(RecordedPid(), earlier);
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, earlier, &info, WEXITED | WNOHANG), 0);
  EXPECT_EQ(info.si_pid, earlier);
}

TEST_F(BouncerControlTest, AnInstanceThatExitedAtOnceIsReapedAtTheServiceStop) {
  ReplaceProgram("#!/bin/sh\nexit 0\n");
  BouncerControl control = Control();
  control.ConfigureAndStartBouncer();
  const pid_t exited = RecordedPid();
  ASSERT_GT(exited, 0);
  ASSERT_TRUE(testing::WaitFor([&] {
    const std::string stat = ReadAll("/proc/" + std::to_string(exited) + "/stat");
    return stat.find(") Z ") != std::string::npos;
  }));
  control.Close();
  siginfo_t info{};
  EXPECT_EQ(waitid(P_PID, exited, &info, WEXITED | WNOHANG), -1);  // reaped already
  EXPECT_EQ(errno, ECHILD);
  EXPECT_FALSE(std::filesystem::exists(dir_ / kBouncerStateFile));
}

TEST_F(BouncerControlTest, AProcessThatIsNoLongerTheRecordedOneIsLeftAlone) {
  const pid_t stranger = testing::Spawn(dir_, {"/bin/sleep", "30"}, "sleep.out");
  ASSERT_TRUE(testing::WaitFor([&] {
    return std::filesystem::read_symlink("/proc/" + std::to_string(stranger) + "/exe") ==
           SleepProgram();
  }));
  const auto identity = IdentifyProcess(stranger);
  ASSERT_TRUE(identity);
  // The same id and program, but another start time: the id passed to another process.
  std::ofstream(dir_ / kBouncerStateFile)
      << stranger << " " << identity->start_time + 1 << " " << identity->executable << "\n";
  Control().ConfigureAndStartBouncer();
  EXPECT_EQ(kill(stranger, 0), 0);
  siginfo_t info{};
  EXPECT_EQ(waitid(P_PID, stranger, &info, WEXITED | WNOHANG), 0);
  EXPECT_EQ(info.si_pid, 0);  // still running
  EXPECT_NE(RecordedPid(), stranger);
  kill(stranger, SIGKILL);
  waitpid(stranger, nullptr, 0);
}

TEST_F(BouncerControlTest, AMissingProgramIsReportedAndNothingIsRecorded) {
  std::filesystem::remove(dir_ / "bouncer");
  Control().ConfigureAndStartBouncer();
  EXPECT_TRUE(console_.Has("Can't start Bouncer"));
  EXPECT_FALSE(console_.Has("Bouncer started"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / kBouncerStateFile));
}

TEST_F(BouncerControlTest, WithoutAProgramInTheFolderTheOneBesideTheRouterRuns) {
  std::filesystem::remove(dir_ / "bouncer");
  Control(BOUNCER_BINARY).ConfigureAndStartBouncer();
  EXPECT_TRUE(console_.Has(std::string("Bouncer program ") + BOUNCER_BINARY + " runs as process"));
  EXPECT_GT(RecordedPid(), 0);
}

TEST_F(BouncerControlTest, AFolderNamedLikeTheProgramIsPassedOverForTheOneBesideTheRouter) {
  std::filesystem::remove(dir_ / "bouncer");
  std::filesystem::create_directory(dir_ / "bouncer");
  Control(BOUNCER_BINARY).ConfigureAndStartBouncer();
  EXPECT_TRUE(console_.Has(std::string("Bouncer program ") + BOUNCER_BINARY + " runs as process"));
}

}  // namespace
}  // namespace velmora
