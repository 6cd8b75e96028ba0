#include "remote/remote_commands.h"

#include <algorithm>

namespace velmora {

const std::array<std::string_view, kCommandCount + 1> kCommandWords = {"",
                                                                       "SET START",
                                                                       "SET STOP",
                                                                       "SET KILL",
                                                                       "SET NADD",
                                                                       "SET NDEL",
                                                                       "SET RADD",
                                                                       "SET RDELS",
                                                                       "SET RDELN",
                                                                       "SET ZERO",
                                                                       "SET DEBUG",
                                                                       "SET NODEBUG",
                                                                       "GET RUN",
                                                                       "GET UNUM",
                                                                       "GET MNUM",
                                                                       "GET UPARA",
                                                                       "GET MPARA",
                                                                       "GET IPMACN",
                                                                       "GET USTAT",
                                                                       "GET MSTAT",
                                                                       "GET STAT",
                                                                       "GET UCUR",
                                                                       "GET MCUR",
                                                                       "GET IPSTAT",
                                                                       "GET USRCUR",
                                                                       "GET USRAVR",
                                                                       "GET USRPEEK",
                                                                       "GET BWDCUR",
                                                                       "GET BWDAVR",
                                                                       "GET BWDACTAVR",
                                                                       "GET BWDPEEK",
                                                                       "GET SUMBCUR",
                                                                       "GET SUMBAVR",
                                                                       "GET SUMBPEEK",
                                                                       "SET IPZERO",
                                                                       "GET LISTIPSTAT",
                                                                       "GET IPBYTES",
                                                                       "GET IPPACKETS",
                                                                       "SET L2TPUSER",
                                                                       "SET L2TPPEER",
                                                                       "QUIT",
                                                                       "EXIT",
                                                                       "HELP"};

bool AllowedWithoutMastership(int command) {
  return (command >= kGetRun && command <= kGetSumbpeek) ||
         (command >= kGetListipstat && command <= kGetIppackets) ||
         (command >= kQuit && command <= kHelp);
}

int ExpectedParameters(int command) {
  switch (command) {
    case kSetNadd:
      return 4;
    case kSetRadd:
    case kSetL2tpuser:
      return 2;
    case kSetNdel:
    case kSetRdels:
    case kSetRdeln:
    case kGetUpara:
    case kGetMpara:
    case kGetIpmacn:
    case kGetIpstat:
    case kGetBwdcur:
    case kGetBwdavr:
    case kGetBwdactavr:
    case kGetBwdpeek:
    case kSetIpzero:
    case kGetIpbytes:
    case kGetIppackets:
    case kSetL2tppeer:
      return 1;
    default:
      return -1;
  }
}

std::string NormaliseLine(std::string_view line) {
  line = line.substr(0, line.find(';'));
  std::string out;
  out.reserve(line.size());
  for (char c : line) {
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
    if (c == ' ' && !out.empty() && out.back() == ' ') continue;
    out.push_back(c);
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  if (!out.empty() && out.front() == ' ') out.erase(0, 1);
  return out;
}

int FindCommand(std::string_view line) {
  for (int command = 1; command <= kCommandCount; ++command) {
    if (line.starts_with(kCommandWords[command])) return command;
  }
  return kNoCommand;
}

std::vector<std::string> SplitParameters(std::string_view line) {
  std::vector<std::string> words;
  size_t start = 0;
  while (start <= line.size()) {
    const size_t end = std::min(line.find(' ', start), line.size());
    words.emplace_back(line.substr(start, end - start));
    start = end + 1;
  }
  if (words.size() <= 2) return {};
  return {words.begin() + 2, words.end()};
}

CommandLine ReadCommandLine(std::string_view received) {
  CommandLine command;
  command.raw = NormaliseLine(received);
  command.line = command.raw;
  std::transform(command.line.begin(), command.line.end(), command.line.begin(), [](char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  });
  command.command = FindCommand(command.line);
  if (ExpectedParameters(command.command) >= 0) {
    command.parameters =
        SplitParameters(command.command == kSetL2tpuser ? command.raw : command.line);
  }
  return command;
}

}  // namespace velmora
