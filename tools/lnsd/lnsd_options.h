#pragma once

#include <optional>
#include <string>
#include <vector>

#include "l2tp/cl2tp.h"

namespace velmora::lnsd {

// What the command line asks of a stand-alone server.
struct LnsdOptions {
  l2tp::L2tpParams params;
  std::vector<l2tp::L2tpUser> users;
  std::vector<l2tp::L2tpPeer> peers;
  std::string pcap_file;  // empty: the users' IP packets are only counted
  bool help = false;
};

// The options, or none with `error` naming the flag that could not be read.
std::optional<LnsdOptions> ParseLnsdOptions(const std::vector<std::string>& arguments,
                                            std::string& error);

// The text of --help.
std::string LnsdUsage();

}  // namespace velmora::lnsd
