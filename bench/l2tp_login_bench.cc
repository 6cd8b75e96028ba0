// L2TP logins and user traffic through the real router: velmora runs headless with its L2TP
// source on a loopback port, a list of users, and a UDP socket of this program in place of the
// inserter. A scripted LAC and PPP user logs every user in, one after the other, each with a
// tunnel of its own (SCCRQ..SCCCN, ICRQ..ICCN, LCP, CHAP, IPCP); the router's resident memory is
// read before and after. Then the first user sends 1400-byte IP packets, at most a window of them
// unanswered by the inserter socket, and the rate at which they arrive there is measured.
//
//   l2tp_login_bench [--users 1000] [--seconds 3]

#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "router_child.h"
#include "scripted_lac.h"
#include "support/md5.h"

namespace {

using velmora::bench::PortOf;
using velmora::bench::RouterChild;
using velmora::bench::ScriptedLac;
using Steady = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr size_t kPacketSize = 1400;
constexpr int kWindow = 64;

std::string UserName(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "user%04d", i);
  return name;
}

long ResidentKiB(pid_t pid) {
  std::ifstream statm("/proc/" + std::to_string(pid) + "/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

int LoopbackSocket() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
  const int buffer = 8 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  return fd;
}

// The router with its L2TP source and `users` users user0000.. (password pw<number>).
std::string RouterIni(uint16_t inserter_port, uint16_t l2tp_port, int users) {
  std::ostringstream ini;
  ini << "[GENERAL]\nRemoteControlOn=0\nPylonEnable=0\nLogOn=0\nLogLevel=1\nInserterIP=127.0.0.1\n"
      << "InserterPort=" << inserter_port << "\nTransparentEnable=0\nStatisticEnable=0\n"
      << "L2tpEnable=1\nL2tpPort=" << l2tp_port << "\nL2tpPoolIP=172.16.0.1\nL2tpPool=65536\n"
      << "[NETWORKS]\nAlias=\"Net\", IPSubNetAddr=10.0.0.0, IPSubNetMask=255.0.0.0, "
         "IPSubNetMAC=\"SubNet_001\", IPSubNetPID=291\n[SubNet_001]\n10.0.0.5 00-11-22-33-44-55\n"
      << "[L2TPPEERS]\n127.0.0.1\n[L2TPUSERS]\n";
  for (int i = 0; i < users; ++i) ini << UserName(i) << "=pw" << i << "\n";
  return ini.str();
}

// The user's side of PPP: answers what the server asks and asks IPCP for an address.
class PppUser {
 public:
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
  // An IPv4/UDP packet of `size` bytes from the user's address to 10.0.0.5.
  Bytes IpPacket(size_t size, uint32_t sequence) const {
    Bytes frame(2 + size, 0x5a);
    frame[0] = 0x00, frame[1] = 0x21;
    uint8_t* ip = &frame[2];
    ip[0] = 0x45;
    ip[2] = static_cast<uint8_t>(size >> 8), ip[3] = static_cast<uint8_t>(size);
    ip[8] = 64, ip[9] = 17;
    std::memcpy(ip + 12, &address_, 4);
    const uint8_t destination[4] = {10, 0, 0, 5};
    std::memcpy(ip + 16, destination, 4);
    std::memcpy(ip + size - 4, &sequence, 4);
    return frame;
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

// Sends for `seconds` with at most kWindow packets unanswered; returns packets received per s.
double MeasureTraffic(PppUser& user, int inserter, double seconds, long& lost) {
  timeval wait{0, 200000};
  setsockopt(inserter, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  long sent = 0, received = 0;
  uint8_t buffer[4096];
  const Steady::time_point start = Steady::now();
  while (std::chrono::duration<double>(Steady::now() - start).count() < seconds) {
    while (sent - received < kWindow) user.Send(user.IpPacket(kPacketSize, sent++));
    const ssize_t n = recv(inserter, buffer, sizeof buffer, 0);
    if (n == static_cast<ssize_t>(kPacketSize + 22)) {
      ++received;
    } else if (n < 0) {
      received = sent;  // lost in flight: open the window again
      ++lost;
    }
  }
  const double elapsed = std::chrono::duration<double>(Steady::now() - start).count();
  return static_cast<double>(received) / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  int users = 1000;
  double seconds = 3;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--users") users = std::atoi(argv[i + 1]);
    if (std::string(argv[i]) == "--seconds") seconds = std::atof(argv[i + 1]);
  }
  const int inserter = LoopbackSocket();
  const int probe = LoopbackSocket();
  const uint16_t l2tp_port = PortOf(probe);
  close(probe);
  RouterChild router("velmora_login_bench", RouterIni(PortOf(inserter), l2tp_port, users));
  ScriptedLac lac(l2tp_port);
  std::vector<ScriptedLac::Tunnel> tunnels(users);
  std::vector<uint16_t> sessions(users);
  // The router opens the LNS a moment after its start.
  bool up = false;
  for (int attempt = 0; attempt < 20 && !up; ++attempt) {
    tunnels[0] = {};
    up = lac.OpenTunnel(tunnels[0], 1) && (sessions[0] = lac.OpenSession(tunnels[0], 1)) != 0;
  }
  if (!up) return std::fprintf(stderr, "the router's LNS does not answer\n"), 1;
  const long before = ResidentKiB(router.pid());
  const Steady::time_point t0 = Steady::now();
  for (int i = 0; i < users; ++i) {
    if (i > 0 && (!lac.OpenTunnel(tunnels[i], static_cast<uint16_t>(i + 1)) ||
                  (sessions[i] = lac.OpenSession(tunnels[i], 1)) == 0)) {
      return std::fprintf(stderr, "call %d failed\n", i), 1;
    }
    PppUser user(lac, tunnels[i], sessions[i]);
    if (!user.LogIn(UserName(i), "pw" + std::to_string(i))) {
      return std::fprintf(stderr, "login %d failed\n", i), 1;
    }
  }
  const double login_seconds = std::chrono::duration<double>(Steady::now() - t0).count();
  const long after = ResidentKiB(router.pid());
  std::printf("%d full logins in %.3f s: %.0f logins/s (tunnel, session, LCP, CHAP, IPCP)\n", users,
              login_seconds, users / login_seconds);
  std::printf("router memory: %.2f KiB per logged-in user (resident set, %ld KiB -> %ld KiB)\n",
              static_cast<double>(after - before) / users, before, after);

  // The traffic comes from one more login, on a call of its own.
  ScriptedLac::Tunnel tunnel;
  if (!lac.OpenTunnel(tunnel, 60000)) return std::fprintf(stderr, "traffic call failed\n"), 1;
  const uint16_t session = lac.OpenSession(tunnel, 1);
  PppUser sender(lac, tunnel, session);
  if (!sender.LogIn(UserName(0), "pw0")) return std::fprintf(stderr, "login failed\n"), 1;
  long stalls = 0;
  const double rate = MeasureTraffic(sender, inserter, seconds, stalls);
  std::printf(
      "user packets of %zu bytes, LNS socket -> inserter socket: %.0f packets/s (%.1f Mbit/s), "
      "%ld stalls of the %d-packet window\n",
      kPacketSize, rate, rate * kPacketSize * 8 / 1e6, stalls, kWindow);
  close(inserter);
  return 0;
}
