#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// The command language of the remote control: the command words, their numbers, which of them a
// session that is not master may run, how many parameters each takes, and the reading of one
// line into a command. Pure functions; any thread may call.

enum RemoteCommand : int {
  kNoCommand = 0,
  kSetStart = 1,
  kSetStop,
  kSetKill,
  kSetNadd,
  kSetNdel,
  kSetRadd,
  kSetRdels,
  kSetRdeln,
  kSetZero,
  kSetDebug,
  kSetNodebug,
  kGetRun,
  kGetUnum,
  kGetMnum,
  kGetUpara,
  kGetMpara,
  kGetIpmacn,
  kGetUstat,
  kGetMstat,
  kGetStat,
  kGetUcur,
  kGetMcur,
  kGetIpstat,
  kGetUsrcur,
  kGetUsravr,
  kGetUsrpeek,
  kGetBwdcur,
  kGetBwdavr,
  kGetBwdactavr,
  kGetBwdpeek,
  kGetSumbcur,
  kGetSumbavr,
  kGetSumbpeek,
  kSetIpzero,
  kGetListipstat,
  kGetIpbytes,
  kGetIppackets,
  kSetL2tpuser,
  kSetL2tppeer,
  kQuit,
  kExit,
  kHelp,
};

inline constexpr int kCommandCount = 42;

// The command words, numbered 1 to 42 (index 0 is unused).
extern const std::array<std::string_view, kCommandCount + 1> kCommandWords;

// Whether a session that is not master may run the command.
bool AllowedWithoutMastership(int command);
// The parameters the command expects; -1 for a command whose parameters are not examined.
int ExpectedParameters(int command);

// One line as the session reads it.
struct CommandLine {
  std::string raw;   // normalised, case kept
  std::string line;  // normalised, upper case
  int command = kNoCommand;
  // The words after the two words of the command's name; upper case except for SET L2TPUSER.
  std::vector<std::string> parameters;
};

// Cuts the comment, turns tabs, CR and LF into spaces, folds runs of spaces into one and trims
// the ends. Case is kept.
std::string NormaliseLine(std::string_view line);
// The first command in table order whose word begins the (upper-case) line; 0 when none.
int FindCommand(std::string_view line);
// The words after the first two of a normalised line.
std::vector<std::string> SplitParameters(std::string_view line);
// All of the above for one line as received.
CommandLine ReadCommandLine(std::string_view received);

}  // namespace velmora
