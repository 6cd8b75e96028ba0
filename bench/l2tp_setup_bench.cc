// L2TP set-up rate and memory: a scripted LAC on loopback opens tunnels and sessions against the
// real server (in this process, on its own thread and socket), one message at a time, and the
// memory the process holds is read before, with idle tunnels, and with their idle sessions.
//
//   l2tp_setup_bench [--tunnels 1000] [--sessions 10]

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "l2tp/cl2tp.h"
#include "platform/address_text.h"
#include "scripted_lac.h"

namespace {

using velmora::bench::ScriptedLac;
using Steady = std::chrono::steady_clock;

long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace

int main(int argc, char** argv) {
  int tunnels = 1000, sessions = 10;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--tunnels") tunnels = std::atoi(argv[i + 1]);
    if (std::string(argv[i]) == "--sessions") sessions = std::atoi(argv[i + 1]);
  }
  velmora::l2tp::CL2tp server;
  velmora::l2tp::L2tpParams params;
  params.bindAddress = htonl(INADDR_LOOPBACK);
  params.port = 0;
  params.poolStart = velmora::DottedToAddress("10.0.0.0");
  params.poolSize = 1 << 20;
  params.hostName = "lns";
  params.window = [](const std::string& text) {
    if (text.rfind("Error", 0) == 0) std::fprintf(stderr, "%s\n", text.c_str());
  };
  // Port 0 would mean 1701: find a free port first.
  {
    const int probe = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t length = sizeof a;
    getsockname(probe, reinterpret_cast<sockaddr*>(&a), &length);
    params.port = ntohs(a.sin_port);
    close(probe);
  }
  server.SetParameters(params);
  server.AddPeer(htonl(INADDR_LOOPBACK));
  if (!server.Start()) {
    std::fprintf(stderr, "cannot start: %s\n", server.LastError().c_str());
    return 1;
  }
  ScriptedLac lac(server.port());
  std::vector<ScriptedLac::Tunnel> open(tunnels);
  const long before = ResidentKiB();
  const Steady::time_point t0 = Steady::now();
  for (int i = 0; i < tunnels; ++i) {
    if (!lac.OpenTunnel(open[i], static_cast<uint16_t>(i + 1)))
      return std::fprintf(stderr, "tunnel %d failed\n", i), 1;
  }
  const Steady::time_point t1 = Steady::now();
  const long with_tunnels = ResidentKiB();
  for (int s = 0; s < sessions; ++s) {
    for (int i = 0; i < tunnels; ++i) {
      if (lac.OpenSession(open[i], static_cast<uint16_t>(s + 1)) == 0)
        return std::fprintf(stderr, "session failed\n"), 1;
    }
  }
  const Steady::time_point t2 = Steady::now();
  const long with_sessions = ResidentKiB();
  const double tunnel_seconds = std::chrono::duration<double>(t1 - t0).count();
  const double session_seconds = std::chrono::duration<double>(t2 - t1).count();
  std::printf("%d tunnels set up in %.3f s: %.0f tunnels/s (SCCRQ, SCCRP, SCCCN)\n", tunnels,
              tunnel_seconds, tunnels / tunnel_seconds);
  std::printf("%d sessions set up in %.3f s: %.0f sessions/s (ICRQ, ICRP, ICCN)\n",
              tunnels * sessions, session_seconds, tunnels * sessions / session_seconds);
  std::printf("tunnels in the server: %zu\n", server.GetTunnelCount());
  std::printf(
      "memory held: %.2f KiB per idle tunnel, %.2f KiB per idle session (resident set, whole "
      "process)\n",
      static_cast<double>(with_tunnels - before) / tunnels,
      static_cast<double>(with_sessions - with_tunnels) / (tunnels * sessions));
  server.Stop();
  return 0;
}
