#include "remote/command_interpreter.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "testing/remote_rig.h"

namespace velmora {
namespace {

using testing::RemoteRig;

// Collects the bytes of the replies.
class BufferChannel final : public ReplyChannel {
 public:
  void Send(std::string_view bytes) override { text.append(bytes); }
  std::string text;
};

// A rig with one subnet (PID 0x100) holding one row, a counted address, a user and a peer.
std::unique_ptr<RemoteRig> SeededRig() {
  auto rig = std::make_unique<RemoteRig>();
  SilentPrompt prompt;
  const TableChange subnet =
      rig->editor.AddSubnet({"NET1", "192.168.1.0", "255.255.255.0", 0x100}, prompt);
  rig->editor.AddIpMacRow(subnet.subnet, "192.168.1.5", "00-00-00-00-00-05", prompt);
  rig->statistics.SetFile("stat.log");
  for (int i = 0; i < 3; ++i) rig->statistics.CountPacket(DottedToAddress("192.168.1.5"), 1000);
  rig->users.Add("bob", "pw", prompt);
  rig->peers.Add("10.0.0.2", prompt);
  rig->host.figures = {.unicast_packets = 7,
                       .unicast_kbps = 12,
                       .unicast_peak_kbps = 30,
                       .multicast_packets = 4,
                       .multicast_frames = 5,
                       .multicast_kbps = 2,
                       .multicast_peak_kbps = 9};
  return rig;
}

struct Case {
  std::string line;
  std::string machine;  // the reply in machine mode
  std::string human;    // the reply in human mode
  bool master = true;
};

std::string Reply(const Case& c, bool human) {
  const auto rig = SeededRig();
  rig->human = human;
  SessionState session{.master = c.master};
  BufferChannel out;
  rig->interpreter.Execute(c.line, session, out);
  return out.text;
}

const std::string kV = "*** Velmora *** - ";
const std::string kL = "            ";

std::string HelpWords() {
  std::string words;
  for (int i = 1; i <= kCommandCount; ++i) words += std::string(kCommandWords[i]) + "\r\n";
  return words;
}

std::string BadOrdinal(const std::string& command) {
  return kV +
         "Invalid parameter. Issue \"GET UNUM\" command first\r\n"
         "    and use one of subnetworks ordinal numbers (1..1) as\r\n    parameter for \"" +
         command + "\" command.\r\n";
}

const std::string kUnicastLines =
    kL + "Networks configured: 1\r\n" + kL + "Packets transferred: 7\r\n" + kL +
    "Current bandwidth:   12 kbits/s\r\n" + kL + "Peak bandwidth:      30 kbits/s\r\n";
const std::string kMulticastLines =
    kL + "Packets received:    4\r\n" + kL + "Frames produced:     5\r\n" + kL +
    "Current bandwidth:   2 kbits/s\r\n" + kL + "Peak bandwidth:      9 kbits/s\r\n";

const std::vector<Case> kCases = {
    // Reading the line.
    {"", "", ""},
    {"   ; only a comment", "", ""},
    {"get run ; what state?", "0\r\n", kV + "State: Stopped.\r\n"},
    {"\tGET\t\tRUN\r", "0\r\n", kV + "State: Stopped.\r\n"},
    {"FOO", "?UNKNOWN COMMAND\r\n", kV + "Unknown command. Type HELP.\r\n"},
    {"FOO", kV + "NOT ALLOWED IN THIS STATE\r\n", kV + "NOT ALLOWED IN THIS STATE\r\n", false},
    {"SET START", kV + "NOT ALLOWED IN THIS STATE\r\n", kV + "NOT ALLOWED IN THIS STATE\r\n",
     false},
    {"SET IPZERO 1.2.3.4", kV + "NOT ALLOWED IN THIS STATE\r\n",
     kV + "NOT ALLOWED IN THIS STATE\r\n", false},
    {"GET RUN", "0\r\n", kV + "State: Stopped.\r\n", false},
    {"HELP", HelpWords(), "Commands are:\r\n" + HelpWords()},
    {"HELPME", HelpWords(), "Commands are:\r\n" + HelpWords(), false},
    {"QUIT", "", ""},
    {"EXIT", "", "", false},
    // Parameter counts.
    {"SET NADD A 10.0.0.0 255.0.0.0", "", kV + "Four parameters expected\r\n"},
    {"SET RADD 192.168.1.6", "", kV + "Two parameters expected\r\n"},
    {"SET L2TPUSER ann", "", kV + "Two parameters expected\r\n"},
    {"GET UPARA", "", kV + "One parameter expected\r\n"},
    {"GET IPSTAT 1.2.3.4 5", "", kV + "One parameter expected\r\n"},
    // Service state.
    {"SET START", "", kV + "Service started.\r\n"},
    {"SET STOP", "", kV + "Service still not running.\r\n"},
    {"SET ZERO", "", kV + "All counters have reset to zero.\r\n"},
    {"SET DEBUG", kV + "Remote Control human mode dialog is on\r\n",
     kV + "Remote Control human mode dialog is on\r\n"},
    {"SET NODEBUG", "", ""},
    {"SET KILL", "", ""},
    // Networks.
    {"SET NADD net2 10.0.0.0 255.0.0.0 1FF", "", kV + "Networks Table entry succefully added.\r\n"},
    {"  SET   NADD  A   10.0.0.0   255.0.0.0    0x1  ", "",
     kV + "Networks Table entry succefully added.\r\n"},
    {"SET NADD A 10.0.0.0 255.0.0.0 0", "",
     kV + "Warning. PID has zero value.\r\n" + kV + "Networks Table entry succefully added.\r\n"},
    {"SET NADD A 10.0.0.300 255.0.0.0 1", "", kV + "Invalid subnet address.\r\n"},
    {"SET NADD A 255.255.255.255 255.0.0.0 1", "", kV + "Invalid subnet address.\r\n"},
    {"SET NADD A 10.0.0.0 255.0.0.300 1", "", kV + "Invalid subnet mask.\r\n"},
    {"SET NADD A 10.0.0.1 255.0.0.0 1", "",
     kV + "Subnet & Mask are incompatible. Check if ((Subnet & Mask) == Subnet).\r\n"},
    {"SET NADD A 192.168.1.0 255.255.255.0 1", "", kV + "Subnet already exists.\r\n"},
    {"SET NADD A 10.0.0.0 255.0.0.0 10000", "",
     kV + "Invalid PID. Use a hexadecimal number up to FFFF.\r\n"},
    {"SET NADD A 10.0.0.0 255.0.0.0 XY", "",
     kV + "Invalid PID. Use a hexadecimal number up to FFFF.\r\n"},
    {"SET NADD A=B 10.0.0.0 255.0.0.0 1", "", kV + "Invalid network alias. Record not added.\r\n"},
    {"SET NDEL NET1", "", kV + "Network deleted.\r\n"},
    {"SET NDEL net1", "", kV + "Network deleted.\r\n"},
    {"SET NDEL NET9", "", kV + "Network alias not found.\r\n"},
    {"SET RADD 192.168.1.6 00:11:22:33:44:55", "", kV + "ARP Table entry succefully added.\r\n"},
    {"SET RADD 192.168.1.6 00-11-22-33-44-55", "", kV + "ARP Table entry succefully added.\r\n"},
    {"SET RADD 192.168.1.6 00.11.22.33.44.55", "",
     kV + "Invalid MAC address. Record not added.\r\n"},
    {"SET RADD 192.168.1.6 0:11:22:33:44:55", "",
     kV + "Invalid MAC address. Record not added.\r\n"},
    {"SET RADD 192.168.1.6 00:11-22:33:44:55", "",
     kV + "Invalid MAC address. Record not added.\r\n"},
    {"SET RADD 192.168.1.5 00:11:22:33:44", "", kV + "Invalid MAC address. Record not added.\r\n"},
    {"SET RADD 192.168.1.5 00:11:22:33:44:55", "",
     kV + "This IP already exists in ARP Table. Record not added.\r\n"},
    {"SET RADD 10.1.1.1 00:11:22:33:44:55", "",
     kV + "Appropriate subnet not found for this IP. Record not added.\r\n    Use \"GET UNUM\" "
          "command for subnets list\r\n"},
    {"SET RADD 192.168.1.X 00:11:22:33:44:55", "",
     kV + "Invalid IP address. Record not added.\r\n"},
    {"SET RDELS 192.168.1.5", "", kV + "Entry deleted.\r\n"},
    {"SET RDELS 192.168.1.9", "", kV + "IP not found. Cannot delete record.\r\n"},
    {"SET RDELS X", "", kV + "Invalid IP address. Cannot delete record.\r\n"},
    {"SET RDELN 192.168.1.0", "", kV + "Entries deleted.\r\n"},
    {"SET RDELN 192.168.2.0", "", kV + "Subnet not found. Cannot delete records.\r\n"},
    {"SET RDELN X", "", kV + "Invalid IP address. Record not deleted.\r\n"},
    // Listings.
    {"GET UNUM", "1\r\n", kV + "Unicast networks configured: 1\r\n         1. 192.168.1.0\r\n"},
    {"GET MNUM", "", ""},
    {"GET MPARA 1", "", ""},
    {"GET UPARA 1", "192.168.1.0 255.255.255.0 256\r\n",
     kV + "Subnetwork table, row #1:\r\n    IP_Net=192.168.1.0; Mask=255.255.255.0; PID=256\r\n"},
    {"GET UPARA 0", "\r\n", BadOrdinal("GET UPARA")},
    {"GET UPARA 2", "\r\n", BadOrdinal("GET UPARA")},
    {"GET UPARA X", "\r\n", BadOrdinal("GET UPARA")},
    {"GET IPMACN 1", "192.168.1.5 00-00-00-00-00-05\r\n",
     kV + "IP/MAC resolving table, row #1\r\n        (Subnet=192.168.1.0, "
          "file=NEW___SUB___NETTT000001.ini):\r\n    192.168.1.5  00-00-00-00-00-05\r\n"},
    {"GET IPMACN 2", "\r\n", BadOrdinal("GET IPMACN")},
    // Stream counters.
    {"GET USTAT", "7 12\r\n", kV + "Statistics of Unicast stream:\r\n" + kUnicastLines},
    {"GET MSTAT", "4 2\r\n", kV + "Statistics of Multicast stream:\r\n" + kMulticastLines},
    {"GET STAT", "\r\n",
     kV + "Statistics:\r\n        Unicast stream:\r\n" + kUnicastLines +
         "        Multicast stream:\r\n" + kMulticastLines},
    {"GET UCUR", "12\r\n",
     kV + "Unicast stream bandwidth:\r\n" + kL + "Current bandwidth:   12 kbits/s\r\n" + kL +
         "Peak bandwidth:      30 kbits/s\r\n"},
    {"GET MCUR", "2\r\n",
     kV + "Multicast stream bandwidth:\r\n" + kL + "Current bandwidth:   2 kbits/s\r\n" + kL +
         "Peak bandwidth:      9 kbits/s\r\n"},
    // Per-address statistics.
    {"GET IPSTAT 192.168.1.5", "3\r\n3000\r\n",
     kV + "IP traffic statistic:\r\n" + kL + "Packets:   3 packets\r\n" + kL +
         "Bytes:     3000 bytes\r\n"},
    {"GET IPSTAT 10.9.9.9", "0\r\n0\r\n",
     kV + "IP traffic statistic:\r\n" + kL + "Packets:   0 packets\r\n" + kL +
         "Bytes:     0 bytes\r\n"},
    {"GET IPSTAT NONSENSE", "0\r\n0\r\n",
     kV + "IP traffic statistic:\r\n" + kL + "Packets:   0 packets\r\n" + kL +
         "Bytes:     0 bytes\r\n"},
    {"GET IPBYTES 192.168.1.5", "3000\r\n",
     kV + "IP traffic statistic:\r\n" + kL + "Bytes:     3000 bytes\r\n"},
    {"GET IPPACKETS 192.168.1.5", "3\r\n",
     kV + "IP traffic statistic:\r\n" + kL + "Packets:   3 packets\r\n", false},
    {"GET BWDCUR 192.168.1.5", "0\r\n", kV + "Current IP bandwidth(kbit/s): 0\r\n"},
    {"GET BWDAVR 192.168.1.5", "0\r\n", kV + "Average IP bandwidth(kbit/s): 0\r\n"},
    {"GET BWDACTAVR 192.168.1.5", "0\r\n", kV + "Average active IP bandwidth(kbit/s): 0\r\n"},
    {"GET BWDPEEK 192.168.1.5", "0\r\n", kV + "Peek IP bandwidth(kbit/s): 0\r\n"},
    {"GET SUMBCUR", "0\r\n", kV + "Current summary bandwidth(kbit/s): 0\r\n"},
    {"GET SUMBAVR", "0\r\n", kV + "Current summary bandwidth(kbit/s): 0\r\n"},
    {"GET SUMBPEEK", "0\r\n", kV + "Current summary bandwidth(kbit/s): 0\r\n"},
    {"GET USRCUR", "0\r\n", kV + "Current IP flows(user/min): 0\r\n"},
    {"GET USRAVR", "0\r\n", kV + "Average IP flows(user/min): 0\r\n"},
    {"GET USRPEEK", "0\r\n", kV + "Peek IP flows(user/min): 0\r\n"},
    {"SET IPZERO 192.168.1.5", "\r\n", kV + "Clear IP traffic statistic: 192.168.1.5\r\n"},
    {"SET IPZERO X", "\r\n", ""},
    {"GET LISTIPSTAT", "1\r\n192.168.1.5 1\r\n",
     kV + "IP statistic list: \r\nIP count: 1\r\nIP: 192.168.1.5 1\r\n"},
    // L2TP lists.
    {"SET L2TPUSER Ann Secret", "", kV + "L2TP user was succefully added.\r\n"},
    {"SET L2TPUSER bob other", "", kV + "L2TP user already exists.\r\n"},
    {"SET L2TPUSER [ann x", "", kV + "Invalid L2TP user name or password. User not added.\r\n"},
    {"SET L2TPUSER a=b x", "", kV + "Invalid L2TP user name or password. User not added.\r\n"},
    {"SET L2TPPEER 10.0.0.1", "", kV + "L2TP peer was succefully added.\r\n"},
    {"SET L2TPPEER 10.0.0.2", "", kV + "L2TP peer already exists.\r\n"},
    {"SET L2TPPEER 10.0.2", "", kV + "L2TP peer already exists.\r\n"},
    {"SET L2TPPEER X", "", kV + "Invalid IP address of L2TP peer.\r\n"},
};

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
