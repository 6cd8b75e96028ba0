#pragma once

// The remote control's commands with their exact replies in both modes, over a seeded rig: the
// cases that the interpreter test and the socket test both run.

#include <memory>
#include <string>
#include <vector>

#include "remote/remote_commands.h"
#include "testing/remote_rig.h"

namespace velmora::testing {

// A rig with one subnet (PID 0x100) holding one row, a counted address, a user and a peer.
inline std::unique_ptr<RemoteRig> SeededRig() {
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

inline const std::string kV = "*** Velmora *** - ";
inline const std::string kL = "            ";

inline std::string HelpWords() {
  std::string words;
  for (int i = 1; i <= kCommandCount; ++i) words += std::string(kCommandWords[i]) + "\r\n";
  return words;
}

inline std::string BadOrdinal(const std::string& command) {
  return kV +
         "Invalid parameter. Issue \"GET UNUM\" command first\r\n"
         "    and use one of subnetworks ordinal numbers (1..1) as\r\n    parameter for \"" +
         command + "\" command.\r\n";
}

inline const std::string kUnicastLines =
    kL + "Networks configured: 1\r\n" + kL + "Packets transferred: 7\r\n" + kL +
    "Current bandwidth:   12 kbits/s\r\n" + kL + "Peak bandwidth:      30 kbits/s\r\n";
inline const std::string kMulticastLines =
    kL + "Packets received:    4\r\n" + kL + "Frames produced:     5\r\n" + kL +
    "Current bandwidth:   2 kbits/s\r\n" + kL + "Peak bandwidth:      9 kbits/s\r\n";

inline const std::vector<Case> kCases = {
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

}  // namespace velmora::testing
