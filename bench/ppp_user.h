#pragma once

// A scripted L2TP user for the benchmarks that run the real router's L2TP server: its ini with
// users user0000.., the first call once the server answers, the PPP login (LCP, CHAP, IPCP) and
// the user's IP packets.

#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "scripted_lac.h"
#include "support/md5.h"

namespace velmora::bench {

inline std::string UserName(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "user%04d", i);
  return name;
}

inline std::string UserPassword(int i) {
  return "pw" + std::to_string(i);
}

// The router with its L2TP source at `l2tp_port`, the peer 127.0.0.1, `users` users and a subnet
// with the IP/MAC row of 10.0.0.5; its inserter at `inserter_port`.
inline std::string L2tpRouterIni(uint16_t inserter_port, uint16_t l2tp_port, int users,
                                 bool bandwidth_management) {
  std::ostringstream ini;
  ini << "[GENERAL]\nRemoteControlOn=0\nPylonEnable=0\nBouncerEnable=0\n"
         "LogOn=0\nLogLevel=1\nInserterIP=127.0.0.1\n"
      << "InserterPort=" << inserter_port << "\nTransparentEnable=0\nStatisticEnable=0\n"
      << "EnableBandwidth=" << (bandwidth_management ? 1 : 0) << "\n"
      << "L2tpEnable=1\nL2tpPort=" << l2tp_port << "\nL2tpPoolIP=172.16.0.1\nL2tpPool=65536\n"
      << "[NETWORKS]\nAlias=\"Net\", IPSubNetAddr=10.0.0.0, IPSubNetMask=255.0.0.0, "
         "IPSubNetMAC=\"SubNet_001\", IPSubNetPID=291\n[SubNet_001]\n10.0.0.5 00-11-22-33-44-55\n"
      << "[L2TPPEERS]\n127.0.0.1\n[L2TPUSERS]\n";
  for (int i = 0; i < users; ++i) ini << UserName(i) << "=" << UserPassword(i) << "\n";
  return ini.str();
}

// Opens a tunnel `tunnel_id` with one call as soon as the server answers (the router opens it a
// moment after its start); the server's session ID, 0 when it never answered.
inline uint16_t OpenFirstCall(ScriptedLac& lac, ScriptedLac::Tunnel& tunnel, uint16_t tunnel_id) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    tunnel = {};
    if (!lac.OpenTunnel(tunnel, tunnel_id)) continue;
    if (const uint16_t session = lac.OpenSession(tunnel, 1)) return session;
  }
  return 0;
}

// A PPP frame with an IPv4/UDP packet of `size` bytes from `source` to `destination` (network
// order, 10.0.0.5 unless given), its payload 0x5A bytes.
inline std::vector<uint8_t> UserIpFrame(uint32_t source, size_t size,
                                        uint32_t destination = htonl(0x0a000005)) {
  std::vector<uint8_t> frame(2 + size, 0x5a);
  frame[0] = 0x00, frame[1] = 0x21;
  uint8_t* ip = &frame[2];
  ip[0] = 0x45;
  ip[2] = static_cast<uint8_t>(size >> 8), ip[3] = static_cast<uint8_t>(size);
  ip[8] = 64, ip[9] = 17;
  std::memcpy(ip + 12, &source, 4);
  std::memcpy(ip + 16, &destination, 4);
  return frame;
}

// The user's side of PPP: answers what the server asks and asks IPCP for an address. Called by
// the thread that uses its LAC.
class PppUser {
 public:
  using Bytes = std::vector<uint8_t>;

  PppUser(ScriptedLac& lac, ScriptedLac::Tunnel& tunnel, uint16_t session)
      : lac_(lac), tunnel_(tunnel), session_(session) {}

  // A whole login; false when the server refused it or went silent.
  bool LogIn(const std::string& name, const std::string& password) {
    Send({0xc0, 0x21, 1, 1, 0, 14, 1, 4, 0x05, 0x78, 5, 6, 0x11, 0x22, 0x33, 0x44});
    bool acked = false, acked_ours = false;
    while (!acked || !acked_ours) {
      std::optional<Bytes> frame = lac_.NextFrame(tunnel_);
      if (!frame || frame->size() < 6) return false;
      Bytes& f = *frame;
      const uint16_t protocol = static_cast<uint16_t>(f[0] << 8 | f[1]);
      const uint8_t code = f[2];
      if (code == 1 && (protocol == 0xc021 || protocol == 0x8021)) {
        f[2] = 2;  // Configure-Ack of the server's request
        Send(f);
        acked_ours = protocol == 0x8021;
      } else if (protocol == 0xc223 && code == 1 && f.size() >= 7u + f[6]) {
        Respond(f, name, password);
      } else if (protocol == 0xc223 && code == 3) {
        Send({0x80, 0x21, 1, 1, 0, 10, 3, 6, 0, 0, 0, 0});
      } else if (protocol == 0x8021 && code == 3 && f.size() >= 12) {
        std::memcpy(&address_, &f[8], 4);
        Send({0x80, 0x21, 1, 2, 0, 10, 3, 6, f[8], f[9], f[10], f[11]});
      } else if (protocol == 0x8021 && code == 2) {
        acked = true;
      } else if ((protocol == 0xc223 && code == 4) || (protocol == 0xc021 && code == 5)) {
        return false;
      }
    }
    return true;
  }
  // An IPv4/UDP packet of `size` bytes from the user's address to `destination` (network order,
  // 10.0.0.5 unless given), `sequence` in its last 4 bytes.
  Bytes IpPacket(size_t size, uint32_t sequence, uint32_t destination = htonl(0x0a000005)) const {
    Bytes frame = UserIpFrame(address_, size, destination);
    std::memcpy(&frame[frame.size() - 4], &sequence, 4);
    return frame;
  }
  // The data message that carries `frame` to the server in this user's call.
  Bytes DataMessage(const Bytes& frame) const {
    return ScriptedLac::DataMessage(tunnel_.theirs, session_, frame);
  }
  void Send(const Bytes& frame) { lac_.SendFrame(tunnel_, session_, frame); }

 private:
  void Respond(const Bytes& challenge, const std::string& name, const std::string& password) {
    const uint8_t id[1] = {challenge[3]};
    const velmora::Md5Digest digest =
        velmora::Md5()
            .Update(id)
            .Update({reinterpret_cast<const uint8_t*>(password.data()), password.size()})
            .Update({&challenge[7], challenge[6]})
            .Final();
    const size_t length = 4 + 1 + 16 + name.size();
    Bytes response = {0xc2, 0x23, 2, id[0], 0, static_cast<uint8_t>(length), 16};
    response.insert(response.end(), digest.begin(), digest.end());
    response.insert(response.end(), name.begin(), name.end());
    Send(response);
  }

  ScriptedLac& lac_;
  ScriptedLac::Tunnel& tunnel_;
  uint16_t session_;
  uint32_t address_ = 0;
};

}  // namespace velmora::bench
