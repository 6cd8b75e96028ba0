#include "remote/command_interpreter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "testing/remote_cases.h"

namespace velmora {
namespace {

using testing::kCases;
using testing::RemoteRig;
using testing::SeededRig;
using Case = testing::Case;

// Collects the bytes of the replies.
class BufferChannel final : public ReplyChannel {
 public:
  void Send(std::string_view bytes) override { text.append(bytes); }
  std::string text;
};

std::string Reply(const Case& c, bool human) {
  const auto rig = SeededRig();
  rig->human = human;
  SessionState session{.master = c.master};
  BufferChannel out;
  rig->interpreter.Execute(c.line, session, out);
  return out.text;
}

TEST(CommandInterpreterTest, EveryCommandAnswersByteForByteInBothModes) {
  for (const Case& c : kCases) {
    EXPECT_EQ(Reply(c, false), c.machine) << "machine: " << c.line;
    EXPECT_EQ(Reply(c, true), c.human) << "human: " << c.line;
  }
}

class InterpreterTest : public ::testing::Test {
 protected:
  std::string Execute(std::string_view line, bool master = true) {
    SessionState session{.master = master};
    BufferChannel out;
    rig->interpreter.Execute(line, session, out);
    quit = session.quit;
    return out.text;
  }
  std::unique_ptr<RemoteRig> rig = SeededRig();
  bool quit = false;
};

TEST_F(InterpreterTest, QuitAndExitEndTheSession) {
  Execute("quit");
  EXPECT_TRUE(quit);
  Execute("EXIT ; bye", false);
  EXPECT_TRUE(quit);
  Execute("GET RUN");
  EXPECT_FALSE(quit);
}

TEST_F(InterpreterTest, ServiceCommandsReachTheHost) {
  rig->host.running = true;
  EXPECT_EQ(Execute("GET RUN"), "1\r\n");
  rig->human = true;
  EXPECT_EQ(Execute("SET START"), "*** Velmora *** - Service already running.\r\n");
  EXPECT_EQ(Execute("SET STOP"), "*** Velmora *** - Service stopped.\r\n");
  EXPECT_FALSE(rig->host.running);
  EXPECT_EQ(Execute("GET RUN"), "*** Velmora *** - State: Stopped.\r\n");
  Execute("SET ZERO");
  Execute("SET KILL");
  EXPECT_EQ(rig->host.resets, 1);
  EXPECT_EQ(rig->host.kills, 1);
}

TEST_F(InterpreterTest, DebugAndNodebugSwitchTheSharedMode) {
  Execute("SET DEBUG");
  EXPECT_TRUE(rig->human);
  EXPECT_EQ(Execute(""), "");
  Execute("set nodebug");
  EXPECT_FALSE(rig->human);
}

TEST_F(InterpreterTest, NetworkChangesActOnTheTables) {
  Execute("SET NADD net2 10.0.0.0 255.0.0.0 1FF");
  const auto after_add = rig->tables.Snapshot();
  ASSERT_EQ(after_add->subnets().size(), 2u);
  EXPECT_EQ(after_add->subnets()[0].Alias, "NET2");
  EXPECT_EQ(after_add->subnets()[0].IPSubNetPID, 0x1ff);

  Execute("SET RADD 10.0.0.7 aa:bb:cc:dd:ee:ff");
  const IpMacEntry* row = rig->tables.Snapshot()->FindIpMacRow(DottedToAddress("10.0.0.7"));
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->mac_text, "AA-BB-CC-DD-EE-FF");
  EXPECT_TRUE(row->profile_alias.empty());

  Execute("SET RDELN 192.168.1.0");
  const auto after_rdeln = rig->tables.Snapshot();
  EXPECT_EQ(after_rdeln->subnets().size(), 2u);
  EXPECT_EQ(after_rdeln->FindIpMacRow(DottedToAddress("192.168.1.5")), nullptr);
  rig->human = true;
  EXPECT_EQ(Execute("SET RDELN 192.168.1.0"),
            "*** Velmora *** - Entries not found. Nothing deleted.\r\n");
  EXPECT_EQ(rig->tables.Snapshot()->subnets().size(), 2u);

  Execute("SET NDEL NET2");
  EXPECT_EQ(rig->tables.Snapshot()->subnets().size(), 1u);
  EXPECT_EQ(rig->tables.Snapshot()->FindIpMacRow(DottedToAddress("10.0.0.7")), nullptr);
  const std::vector<std::string> calls = rig->hooks.Calls();
  const std::vector<std::string> tail(calls.end() - 4, calls.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"route 10.0.0.0", "arp 192.168.1.5", "arp 10.0.0.7",
                                            "unroute 10.0.0.0"}));
}

TEST_F(InterpreterTest, FullTablesRefuseAnotherRecord) {
  rig->human = true;
  const size_t seeded = rig->tables.Snapshot()->subnets().size();
  for (size_t i = seeded; i < kMaxSubnets; ++i) {
    Execute("SET NADD N" + std::to_string(i) + " 10." + std::to_string(i) + ".0.0 255.255.0.0 1");
  }
  ASSERT_EQ(rig->tables.Snapshot()->subnets().size(), kMaxSubnets);
  EXPECT_EQ(Execute("SET NADD LAST 11.0.0.0 255.0.0.0 1"),
            "*** Velmora *** - Networks Table is full. Record not added.\r\n");

  SilentPrompt prompt;
  const auto snapshot = rig->tables.Snapshot();
  const auto& subnets = snapshot->subnets();
  const uint32_t wide_address = DottedToAddress("10.100.0.0");
  const auto wide = std::find_if(subnets.begin(), subnets.end(), [&](const auto& subnet) {
    return subnet.IPSubNetAddr == wide_address;
  });
  ASSERT_NE(wide, subnets.end());
  const int room = static_cast<int>(kMaxIpMacRows - rig->tables.Snapshot()->ip_mac_rows().size());
  rig->editor.AddIpMacRange(wide->id, "10.100.0.1", "02-00-00-00-00-00", room, prompt);
  ASSERT_EQ(rig->tables.Snapshot()->ip_mac_rows().size(), kMaxIpMacRows);
  EXPECT_EQ(Execute("SET RADD 10.100.255.254 02:00:00:00:ff:fe"),
            "*** Velmora *** - ARP Table is full. Record not added.\r\n");
}

TEST_F(InterpreterTest, AliasesEnteredInLowerCaseCannotBeDeleted) {
  SilentPrompt prompt;
  rig->editor.AddSubnet({"lower", "10.0.0.0", "255.0.0.0", 1}, prompt);
  rig->human = true;
  EXPECT_EQ(Execute("SET NDEL lower"), "*** Velmora *** - Network alias not found.\r\n");
}

TEST_F(InterpreterTest, UsersKeepTheirCaseAndTheLogNeverShowsThePassword) {
  Execute("SET L2TPUSER Ann SeCrEt");
  EXPECT_EQ(rig->users.Password("Ann"), "SeCrEt");
  EXPECT_TRUE(rig->console.Has("Remote command: SET L2TPUSER Ann ********"));
  EXPECT_FALSE(rig->console.Has("SECRET"));
  Execute("SET L2TPUSER Bo Pass Word");  // three words: refused, and still not logged
  EXPECT_TRUE(rig->console.Has("Remote command: SET L2TPUSER Bo ********"));
  EXPECT_FALSE(rig->console.Has("PASS"));
  Execute("SET L2TPUSERcy Hidden");  // the name runs into the command word
  EXPECT_TRUE(rig->console.Has("Remote command: SET L2TPUSER ********"));
  EXPECT_FALSE(rig->console.Has("HIDDEN"));
  EXPECT_FALSE(rig->console.Has("Hidden"));
  Execute("SET L2TPPEER 10.0.0.1");
  EXPECT_TRUE(rig->peers.Contains(DottedToAddress("10.0.0.1")));
}

TEST_F(InterpreterTest, ClientBytesAreLoggedPrintable) {
  Execute(std::string("GET \x01\x7f\xff", 7));
  EXPECT_TRUE(rig->console.Has("Remote command: GET \\x01\\x7F\\xFF"));
}

TEST_F(InterpreterTest, ResetOfAnAddressClearsItsCounters) {
  Execute("SET IPZERO 192.168.1.5");
  EXPECT_EQ(Execute("GET IPPACKETS 192.168.1.5"), "0\r\n");
}

TEST_F(InterpreterTest, ByteCountsBeyondFourGibibytesAreWrittenWhole) {
  for (int i = 0; i < 3; ++i) {
    rig->statistics.CountPacket(DottedToAddress("192.168.1.9"), 0xffffffffu);
  }
  EXPECT_EQ(Execute("GET IPBYTES 192.168.1.9"), "12884901885\r\n");
}

TEST_F(InterpreterTest, AnOverlongLineIsAnUnknownCommand) {
  SessionState master{.master = true}, other{.master = false};
  BufferChannel out;
  rig->interpreter.ExecuteOverlong(master, out);
  rig->interpreter.ExecuteOverlong(other, out);
  EXPECT_EQ(out.text, "?UNKNOWN COMMAND\r\n*** Velmora *** - NOT ALLOWED IN THIS STATE\r\n");
}

}  // namespace
}  // namespace velmora
