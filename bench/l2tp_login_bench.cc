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

#include "ppp_user.h"
#include "router_child.h"
#include "scripted_lac.h"

namespace {

using velmora::bench::PortOf;
using velmora::bench::PppUser;
using velmora::bench::RouterChild;
using velmora::bench::ScriptedLac;
using Steady = std::chrono::steady_clock;

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
