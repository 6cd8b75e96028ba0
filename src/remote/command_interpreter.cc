#include "remote/command_interpreter.h"

#include <cstdio>
#include <optional>

#include "platform/address_text.h"
#include "stats/traffic_statistics.h"
#include "support/log.h"
#include "tables/l2tp_peer_list.h"
#include "tables/l2tp_user_list.h"
#include "tables/network_tables.h"
#include "tables/table_editor.h"

namespace velmora {

namespace {

constexpr std::string_view kNotAllowed = "*** Velmora *** - NOT ALLOWED IN THIS STATE\r\n";
constexpr std::string_view kUnknownHuman = "*** Velmora *** - Unknown command. Type HELP.\r\n";
constexpr std::string_view kUnknownMachine = "?UNKNOWN COMMAND\r\n";
constexpr std::string_view kLabel = "            ";  // before each figure of a stream

std::string Number(uint64_t value) {
  return std::to_string(value);
}

// The human reply for a wrong number of parameters.
std::string_view CountText(int expected) {
  switch (expected) {
    case 4:
      return "*** Velmora *** - Four parameters expected\r\n";
    case 2:
      return "*** Velmora *** - Two parameters expected\r\n";
    default:
      return "*** Velmora *** - One parameter expected\r\n";
  }
}

// A client's bytes as a log line shows them: control and non-ASCII bytes as \xNN.
std::string Printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7f) {
      out.push_back(c);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      out += escaped;
    }
  }
  return out;
}

// The address of a parameter, when the dotted-address conversion reads it.
std::optional<uint32_t> Address(const std::string& text) {
  const uint32_t address = DottedToAddress(text);
  if (address == 0xffffffff) return std::nullopt;
  return address;
}

// A PID as "SET NADD" takes it: hexadecimal (an optional 0x before it), at most 16 bits.
std::optional<uint16_t> Pid(const std::string& text) {
  std::string_view digits = text;
  if (digits.starts_with("0X")) digits.remove_prefix(2);
  if (digits.empty() || digits.size() > 8 ||
      digits.find_first_not_of("0123456789ABCDEF") != std::string_view::npos) {
    return std::nullopt;
  }
  const unsigned long value = std::stoul(std::string(digits), nullptr, 16);
  if (value > 0xffff) return std::nullopt;
  return static_cast<uint16_t>(value);
}

// A decimal ordinal as "%d" reads it: optional sign and leading digits; 0 when there are none.
long Ordinal(const std::string& text) {
  return std::strtol(text.c_str(), nullptr, 10);
}

// The bad-count text of GET UPARA and GET IPMACN.
std::string InvalidOrdinalText(std::string_view command, size_t count) {
  return "*** Velmora *** - Invalid parameter. Issue \"GET UNUM\" command first\r\n"
         "    and use one of subnetworks ordinal numbers (1.." +
         Number(count) + ") as\r\n    parameter for \"" + std::string(command) + "\" command.\r\n";
}

std::string StreamLines(bool unicast, const StreamFigures& f) {
  std::string text;
  if (unicast) {
    text += std::string(kLabel) + "Packets transferred: " + Number(f.unicast_packets) + "\r\n";
  } else {
    text += std::string(kLabel) + "Packets received:    " + Number(f.multicast_packets) + "\r\n";
    text += std::string(kLabel) + "Frames produced:     " + Number(f.multicast_frames) + "\r\n";
  }
  return text;
}

std::string RateLines(uint32_t current, uint32_t peak) {
  return std::string(kLabel) + "Current bandwidth:   " + Number(current) + " kbits/s\r\n" +
         std::string(kLabel) + "Peak bandwidth:      " + Number(peak) + " kbits/s\r\n";
}

}  // namespace

CommandInterpreter::CommandInterpreter(RemoteHost& host, RemoteData data, std::atomic<bool>& human,
                                       Log& log)
    : host_(host), data_(data), human_(human), log_(log) {}

void CommandInterpreter::Reply(ReplyChannel& out, std::string_view human,
                               std::string_view machine) const {
  if (this->human()) {
    if (!human.empty()) out.Send(human);
  } else if (!machine.empty()) {
    out.Send(machine);
  }
}

void CommandInterpreter::Execute(std::string_view received, SessionState& session,
                                 ReplyChannel& out) {
  const CommandLine command = ReadCommandLine(received);
  if (Admit(command, session, out)) Dispatch(command, out);
}

void CommandInterpreter::ExecuteOverlong(SessionState& session, ReplyChannel& out) {
  if (!session.master) {
    out.Send(kNotAllowed);
    return;
  }
  Reply(out, kUnknownHuman, kUnknownMachine);
}

void CommandInterpreter::LogCommand(const CommandLine& command) {
  if (log_.level() < 2) return;
  std::string shown = command.line;
  if (command.command == kSetL2tpuser) {
    // Nothing after the name (the password) reaches the log, and no name either when the command
    // word runs into it: which word then holds the password is anyone's guess.
    const std::string word(kCommandWords[kSetL2tpuser]);
    const bool split = command.line.starts_with(word + " ") && !command.parameters.empty();
    shown = word + (split ? " " + command.parameters[0] : "") + " ********";
  }
  log_ << "Remote command: " + Printable(shown) + "\n";
}

bool CommandInterpreter::Admit(const CommandLine& command, SessionState& session,
                               ReplyChannel& out) {
  if (command.line.empty()) return false;
  LogCommand(command);
  if (!session.master && !AllowedWithoutMastership(command.command)) {
    out.Send(kNotAllowed);
    return false;
  }
  switch (command.command) {
    case kNoCommand:
      Reply(out, kUnknownHuman, kUnknownMachine);
      return false;
    case kQuit:
    case kExit:
      session.quit = true;
      return false;
    case kHelp: {
      Reply(out, "Commands are:\r\n", "");
      std::string words;
      for (int i = 1; i <= kCommandCount; ++i) words += std::string(kCommandWords[i]) + "\r\n";
      out.Send(words);
      return false;
    }
    default:
      break;
  }
  const int expected = ExpectedParameters(command.command);
  if (expected >= 0 && command.parameters.size() != static_cast<size_t>(expected)) {
    Reply(out, CountText(expected), "");
    return false;
  }
  return true;
}

void CommandInterpreter::Dispatch(const CommandLine& command, ReplyChannel& out) {
  const std::vector<std::string>& p = command.parameters;
  switch (command.command) {
    case kSetStart:
    case kSetStop:
    case kSetKill:
    case kSetZero:
    case kSetDebug:
    case kSetNodebug:
    case kGetRun:
      return ServiceCommand(command.command, out);
    case kSetNadd:
      return AddSubnet(command, out);
    case kSetNdel:
      return DeleteSubnet(p[0], out);
    case kSetRadd:
      return AddRow(command, out);
    case kSetRdels:
      return DeleteRow(p[0], out);
    case kSetRdeln:
      return DeleteRowsOfSubnet(p[0], out);
    case kGetUnum:
      return ListSubnets(out);
    case kGetUpara:
    case kGetIpmacn:
      return ShowSubnet(command.command, p[0], out);
    case kGetUstat:
    case kGetMstat:
    case kGetStat:
    case kGetUcur:
    case kGetMcur:
      return ShowStreams(command.command, out);
    case kGetIpstat:
    case kGetIpbytes:
    case kGetIppackets:
    case kGetBwdcur:
    case kGetBwdavr:
    case kGetBwdactavr:
    case kGetBwdpeek:
      return ShowAddress(command.command, p[0], out);
    case kGetUsrcur:
    case kGetUsravr:
    case kGetUsrpeek:
    case kGetSumbcur:
    case kGetSumbavr:
    case kGetSumbpeek:
      return ShowSummary(command.command, out);
    case kSetIpzero:
      return ResetAddress(p[0], out);
    case kGetListipstat:
      return ListAddresses(out);
    case kSetL2tpuser:
      return AddUser(command, out);
    case kSetL2tppeer:
      return AddPeer(p[0], out);
    default:  // GET MNUM and GET MPARA do nothing
      return;
  }
}

void CommandInterpreter::ServiceCommand(int command, ReplyChannel& out) {
  switch (command) {
    case kSetStart:
      return Reply(out,
                   host_.StartService() ? "*** Velmora *** - Service already running.\r\n"
                                        : "*** Velmora *** - Service started.\r\n",
                   "");
    case kSetStop:
      return Reply(out,
                   host_.StopService() ? "*** Velmora *** - Service stopped.\r\n"
                                       : "*** Velmora *** - Service still not running.\r\n",
                   "");
    case kSetKill:
      return host_.Kill();
    case kSetZero:
      host_.ResetCounters();
      return Reply(out, "*** Velmora *** - All counters have reset to zero.\r\n", "");
    case kSetDebug:
      set_human(true);
      return out.Send("*** Velmora *** - Remote Control human mode dialog is on\r\n");
    case kSetNodebug:
      return set_human(false);
    default:  // GET RUN
      if (host_.ServiceRunning()) {
        return Reply(out, "*** Velmora *** - State: Started, Running.\r\n", "1\r\n");
      }
      return Reply(out, "*** Velmora *** - State: Stopped.\r\n", "0\r\n");
  }
}

void CommandInterpreter::AddSubnet(const CommandLine& command, ReplyChannel& out) {
  const std::vector<std::string>& p = command.parameters;
  const std::optional<uint32_t> address = Address(p[1]);
  const std::optional<uint32_t> mask = Address(p[2]);
  if (!address) return Reply(out, "*** Velmora *** - Invalid subnet address.\r\n", "");
  if (!mask) return Reply(out, "*** Velmora *** - Invalid subnet mask.\r\n", "");
  if ((*address & *mask) != *address) {
    return Reply(out,
                 "*** Velmora *** - Subnet & Mask are incompatible. Check if ((Subnet & Mask) == "
                 "Subnet).\r\n",
                 "");
  }
  const std::optional<uint16_t> pid = Pid(p[3]);
  if (!pid) {
    return Reply(out, "*** Velmora *** - Invalid PID. Use a hexadecimal number up to FFFF.\r\n",
                 "");
  }
  const TableChange change =
      data_.editor.AddSubnet({.alias = p[0], .address = p[1], .mask = p[2], .pid = *pid}, prompt_);
  switch (change.refusal) {
    case TableRefusal::kNone:
      if (change.pid_zero) Reply(out, "*** Velmora *** - Warning. PID has zero value.\r\n", "");
      return Reply(out, "*** Velmora *** - Networks Table entry succefully added.\r\n", "");
    case TableRefusal::kSubnetExists:
      return Reply(out, "*** Velmora *** - Subnet already exists.\r\n", "");
    case TableRefusal::kSubnetTableFull:
      return Reply(out, "*** Velmora *** - Networks Table is full. Record not added.\r\n", "");
    default:  // the alias cannot be stored
      return Reply(out, "*** Velmora *** - Invalid network alias. Record not added.\r\n", "");
  }
}

void CommandInterpreter::DeleteSubnet(const std::string& alias, ReplyChannel& out) {
  if (data_.editor.DeleteSubnetWithAlias(alias, prompt_).ok()) {
    return Reply(out, "*** Velmora *** - Network deleted.\r\n", "");
  }
  Reply(out, "*** Velmora *** - Network alias not found.\r\n", "");
}

void CommandInterpreter::AddRow(const CommandLine& command, ReplyChannel& out) {
  const TableChange change =
      data_.editor.AddIpMacRowToItsSubnet(command.parameters[0], command.parameters[1], prompt_);
  switch (change.refusal) {
    case TableRefusal::kNone:
      return Reply(out, "*** Velmora *** - ARP Table entry succefully added.\r\n", "");
    case TableRefusal::kInvalidIp:
      return Reply(out, "*** Velmora *** - Invalid IP address. Record not added.\r\n", "");
    case TableRefusal::kNoSubnetForIp:
      return Reply(out,
                   "*** Velmora *** - Appropriate subnet not found for this IP. Record not "
                   "added.\r\n    Use \"GET UNUM\" command for subnets list\r\n",
                   "");
    case TableRefusal::kInvalidMac:
      return Reply(out, "*** Velmora *** - Invalid MAC address. Record not added.\r\n", "");
    case TableRefusal::kIpExists:
      return Reply(
          out, "*** Velmora *** - This IP already exists in ARP Table. Record not added.\r\n", "");
    default:  // the table is full
      return Reply(out, "*** Velmora *** - ARP Table is full. Record not added.\r\n", "");
  }
}

void CommandInterpreter::DeleteRow(const std::string& address, ReplyChannel& out) {
  const std::optional<uint32_t> ip = Address(address);
  if (!ip) {
    return Reply(out, "*** Velmora *** - Invalid IP address. Cannot delete record.\r\n", "");
  }
  if (data_.editor.DeleteIpMacRow(*ip, prompt_).ok()) {
    return Reply(out, "*** Velmora *** - Entry deleted.\r\n", "");
  }
  Reply(out, "*** Velmora *** - IP not found. Cannot delete record.\r\n", "");
}

void CommandInterpreter::DeleteRowsOfSubnet(const std::string& address, ReplyChannel& out) {
  const std::optional<uint32_t> ip = Address(address);
  if (!ip) {
    return Reply(out, "*** Velmora *** - Invalid IP address. Record not deleted.\r\n", "");
  }
  const TableChange change = data_.editor.DeleteRowsOfSubnetAt(*ip);
  if (!change.ok()) {
    return Reply(out, "*** Velmora *** - Subnet not found. Cannot delete records.\r\n", "");
  }
  if (change.rows_removed > 0) return Reply(out, "*** Velmora *** - Entries deleted.\r\n", "");
  Reply(out, "*** Velmora *** - Entries not found. Nothing deleted.\r\n", "");
}

void CommandInterpreter::ListSubnets(ReplyChannel& out) {
  const auto snapshot = data_.tables.Snapshot();
  const std::string count = Number(snapshot->subnets().size());
  std::string human = "*** Velmora *** - Unicast networks configured: " + count + "\r\n";
  int ordinal = 0;
  for (const SubnetEntry& subnet : snapshot->subnets()) {
    human += "         " + Number(++ordinal) + ". " + AddressToDotted(subnet.IPSubNetAddr) + "\r\n";
  }
  Reply(out, human, count + "\r\n");
}

void CommandInterpreter::ShowSubnet(int command, const std::string& ordinal, ReplyChannel& out) {
  const auto snapshot = data_.tables.Snapshot();
  const std::vector<SubnetEntry>& subnets = snapshot->subnets();
  if (subnets.empty()) {
    return Reply(out, "*** Velmora *** - No subnetworks configured\r\n", "\r\n");
  }
  const long n = Ordinal(ordinal);
  if (n < 1 || static_cast<size_t>(n) > subnets.size()) {
    return Reply(out, InvalidOrdinalText(kCommandWords[command], subnets.size()), "\r\n");
  }
  const SubnetEntry& subnet = subnets[static_cast<size_t>(n - 1)];
  const std::string address = AddressToDotted(subnet.IPSubNetAddr);
  if (command == kGetUpara) {
    const std::string mask = AddressToDotted(subnet.IPSubNetMask);
    const std::string pid = Number(subnet.IPSubNetPID);
    return Reply(out,
                 "*** Velmora *** - Subnetwork table, row #" + Number(n) +
                     ":\r\n    IP_Net=" + address + "; Mask=" + mask + "; PID=" + pid + "\r\n",
                 address + " " + mask + " " + pid + "\r\n");
  }
  std::string human = "*** Velmora *** - IP/MAC resolving table, row #" + Number(n) +
                      "\r\n        (Subnet=" + address + ", file=" + subnet.IPSubNetMAC + "):\r\n";
  std::string machine;
  for (const IpMacEntry* row : snapshot->RowsOf(subnet.id)) {
    human += "    " + row->address_text + "  " + row->mac_text + "\r\n";
    machine += row->address_text + " " + row->mac_text + "\r\n";
  }
  Reply(out, human, machine);
}

void CommandInterpreter::ShowStreams(int command, ReplyChannel& out) {
  const StreamFigures f = host_.Streams();
  const std::string unicast_rates = RateLines(f.unicast_kbps, f.unicast_peak_kbps);
  const std::string multicast_rates = RateLines(f.multicast_kbps, f.multicast_peak_kbps);
  const std::string unicast = std::string(kLabel) + "Networks configured: " +
                              Number(data_.tables.Snapshot()->subnets().size()) + "\r\n" +
                              StreamLines(true, f) + unicast_rates;
  const std::string multicast = StreamLines(false, f) + multicast_rates;
  switch (command) {
    case kGetUstat:
      return Reply(out, "*** Velmora *** - Statistics of Unicast stream:\r\n" + unicast,
                   Number(f.unicast_packets) + " " + Number(f.unicast_kbps) + "\r\n");
    case kGetMstat:
      return Reply(out, "*** Velmora *** - Statistics of Multicast stream:\r\n" + multicast,
                   Number(f.multicast_packets) + " " + Number(f.multicast_kbps) + "\r\n");
    case kGetStat:
      return Reply(out,
                   "*** Velmora *** - Statistics:\r\n        Unicast stream:\r\n" + unicast +
                       "        Multicast stream:\r\n" + multicast,
                   "\r\n");
    case kGetUcur:
      return Reply(out, "*** Velmora *** - Unicast stream bandwidth:\r\n" + unicast_rates,
                   Number(f.unicast_kbps) + "\r\n");
    default:  // GET MCUR
      return Reply(out, "*** Velmora *** - Multicast stream bandwidth:\r\n" + multicast_rates,
                   Number(f.multicast_kbps) + "\r\n");
  }
}

void CommandInterpreter::ShowAddress(int command, const std::string& address, ReplyChannel& out) {
  const std::optional<uint32_t> ip = Address(address);
  const AddressStatistics s =
      (ip ? data_.statistics.Address(*ip) : std::nullopt).value_or(AddressStatistics{});
  const std::string header = "*** Velmora *** - IP traffic statistic:\r\n";
  const std::string packets =
      std::string(kLabel) + "Packets:   " + Number(s.packets) + " packets\r\n";
  const std::string bytes = std::string(kLabel) + "Bytes:     " + Number(s.bytes) + " bytes\r\n";
  const auto rate = [&](std::string_view label, uint32_t value) {
    Reply(out, "*** Velmora *** - " + std::string(label) + Number(value) + "\r\n",
          Number(value) + "\r\n");
  };
  switch (command) {
    case kGetIpstat:
      return Reply(out, header + packets + bytes,
                   Number(s.packets) + "\r\n" + Number(s.bytes) + "\r\n");
    case kGetIpbytes:
      return Reply(out, header + bytes, Number(s.bytes) + "\r\n");
    case kGetIppackets:
      return Reply(out, header + packets, Number(s.packets) + "\r\n");
    case kGetBwdcur:
      return rate("Current IP bandwidth(kbit/s): ", s.current_rate);
    case kGetBwdavr:
      return rate("Average IP bandwidth(kbit/s): ", s.average_rate);
    case kGetBwdactavr:
      return rate("Average active IP bandwidth(kbit/s): ", s.active_average_rate);
    default:  // GET BWDPEEK
      return rate("Peek IP bandwidth(kbit/s): ", s.maximum_rate);
  }
}

void CommandInterpreter::ShowSummary(int command, ReplyChannel& out) {
  const StatisticsSummary s = data_.statistics.Summary();
  const auto figure = [&](std::string_view label, uint32_t value) {
    Reply(out, "*** Velmora *** - " + std::string(label) + Number(value) + "\r\n",
          Number(value) + "\r\n");
  };
  constexpr std::string_view kBandwidth = "Current summary bandwidth(kbit/s): ";
  switch (command) {
    case kGetUsrcur:
      return figure("Current IP flows(user/min): ", s.current_active);
    case kGetUsravr:
      return figure("Average IP flows(user/min): ", s.average_active);
    case kGetUsrpeek:
      return figure("Peek IP flows(user/min): ", s.maximum_active);
    case kGetSumbcur:
      return figure(kBandwidth, s.current_bandwidth);
    case kGetSumbavr:
      return figure(kBandwidth, s.average_bandwidth);
    default:  // GET SUMBPEEK
      return figure(kBandwidth, s.maximum_bandwidth);
  }
}

void CommandInterpreter::ResetAddress(const std::string& address, ReplyChannel& out) {
  const std::optional<uint32_t> ip = Address(address);
  if (!ip) return Reply(out, "", "\r\n");
  data_.statistics.ResetAddress(*ip);
  Reply(out, "*** Velmora *** - Clear IP traffic statistic: " + address + "\r\n", "\r\n");
}

void CommandInterpreter::ListAddresses(ReplyChannel& out) {
  const auto snapshot = data_.tables.Snapshot();
  const std::string text = data_.statistics.ListAddresses(
      [&snapshot](uint32_t address) { return snapshot->FindIpMacRow(address) != nullptr; },
      human());
  out.Send(text);
}

void CommandInterpreter::AddUser(const CommandLine& command, ReplyChannel& out) {
  const ListChange change = data_.users.Add(command.parameters[0], command.parameters[1], prompt_);
  switch (change.refusal) {
    case ListRefusal::kNone:
      return Reply(out, "*** Velmora *** - L2TP user was succefully added.\r\n", "");
    case ListRefusal::kExists:
      return Reply(out, "*** Velmora *** - L2TP user already exists.\r\n", "");
    default:  // the list cannot store the name or the password
      return Reply(out, "*** Velmora *** - Invalid L2TP user name or password. User not added.\r\n",
                   "");
  }
}

void CommandInterpreter::AddPeer(const std::string& address, ReplyChannel& out) {
  const ListChange change = data_.peers.Add(address, prompt_);
  switch (change.refusal) {
    case ListRefusal::kNone:
      return Reply(out, "*** Velmora *** - L2TP peer was succefully added.\r\n", "");
    case ListRefusal::kExists:
      return Reply(out, "*** Velmora *** - L2TP peer already exists.\r\n", "");
    default:
      return Reply(out, "*** Velmora *** - Invalid IP address of L2TP peer.\r\n", "");
  }
}

}  // namespace velmora
