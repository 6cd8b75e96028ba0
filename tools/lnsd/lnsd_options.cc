#include "lnsd/lnsd_options.h"

#include <charconv>

#include "platform/address_text.h"

namespace velmora::lnsd {

namespace {

bool Number(const std::string& text, uint32_t& out, uint32_t low, uint32_t high) {
  uint32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    return false;
  }
  out = value;
  return true;
}

bool Address(const std::string& text, uint32_t& out) {
  out = DottedToAddress(text);
  return text == "255.255.255.255" || out != 0xFFFFFFFF;
}

// One flag with its value; false when the value does not read.
bool Apply(LnsdOptions& o, const std::string& flag, const std::string& value) {
  l2tp::L2tpParams& p = o.params;
  uint32_t n = 0;
  if (flag == "--port") return Number(value, p.port, 1, 65535);
  if (flag == "--bind") return Address(value, p.bindAddress);
  if (flag == "--pool-start") return Address(value, p.poolStart);
  if (flag == "--pool-size") return Number(value, p.poolSize, 1, 1u << 24);
  if (flag == "--local") return Address(value, p.localAddress);
  if (flag == "--pcap") {
    o.pcap_file = value;
    return !value.empty();
  }
  if (flag == "--host-name") {
    p.hostName = value;
    return !value.empty() && value.size() < 128;
  }
  if (flag == "--max-tunnels" && Number(value, n, 1, 32767)) return p.limits.tunnels = n, true;
  if (flag == "--max-sessions-per-tunnel" && Number(value, n, 1, 32767)) {
    return p.limits.sessions_per_tunnel = n, true;
  }
  if (flag == "--max-sessions" && Number(value, n, 1, 1u << 24)) return p.limits.sessions = n, true;
  if (flag == "--user") {
    const size_t colon = value.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    o.users.push_back({value.substr(0, colon), value.substr(colon + 1)});
    return true;
  }
  if (flag == "--peer") {
    const size_t colon = value.find(':');
    l2tp::L2tpPeer peer;
    if (!Address(value.substr(0, colon), peer.address) || peer.address == 0) return false;
    if (colon != std::string::npos) {
      const std::string secret = value.substr(colon + 1);
      if (secret.empty() || secret.size() > 96) return false;
      peer.secret.assign(secret.begin(), secret.end());
    }
    o.peers.push_back(peer);
    return true;
  }
  return false;
}

}  // namespace

std::optional<LnsdOptions> ParseLnsdOptions(const std::vector<std::string>& arguments,
                                            std::string& error) {
  LnsdOptions o;
  o.params.port = 1701;
  o.params.bindAddress = DottedToAddress("127.0.0.1");
  o.params.poolStart = DottedToAddress("192.168.100.0");
  o.params.poolSize = 256;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& flag = arguments[i];
    if (flag == "--help" || flag == "-h") {
      o.help = true;
      continue;
    }
    if (i + 1 >= arguments.size() || !Apply(o, flag, arguments[i + 1])) {
      error = i + 1 >= arguments.size() ? "missing value for " + flag
                                        : "cannot read " + flag + " " + arguments[i + 1];
      return std::nullopt;
    }
    ++i;
  }
  return o;
}

std::string LnsdUsage() {
  return "lnsd: the L2TP network server of Velmora, alone\n"
         "  --port N                     UDP port (1701)\n"
         "  --bind A.B.C.D               local address to listen on (127.0.0.1)\n"
         "  --pool-start A.B.C.D         first user address (192.168.100.0)\n"
         "  --pool-size N                number of user addresses (256)\n"
         "  --local A.B.C.D              our address in IPCP (0.0.0.0)\n"
         "  --host-name NAME             our Host Name AVP and CHAP name (the machine's)\n"
         "  --user NAME:PASSWORD         a PPP user; repeatable\n"
         "  --peer A.B.C.D[:SECRET]      a LAC allowed to open tunnels; with a secret it must\n"
         "                               authenticate its tunnel; repeatable\n"
         "  --max-tunnels N              (4096)\n"
         "  --max-sessions-per-tunnel N  (1024)\n"
         "  --max-sessions N             (65536)\n"
         "  --pcap FILE                  write the users' IP packets to FILE (pcap, raw IP);\n"
         "                               without it they are counted once a second\n"
         "Every message goes to standard output with a time stamp. SIGINT or SIGTERM stops every\n"
         "tunnel (StopCCN) and ends the server.\n";
}

}  // namespace velmora::lnsd
