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

#include "l2tp/avp_table.h"
#include "l2tp/cl2tp.h"
#include "l2tp/datagram.h"
#include "platform/address_text.h"

namespace {

using velmora::l2tp::CDatagram;
using Steady = std::chrono::steady_clock;

long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// One LAC socket; every tunnel keeps its own Ns/Nr.
class Lac {
 public:
  explicit Lac(uint16_t server_port) : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
    server_.sin_family = AF_INET;
    server_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server_.sin_port = htons(server_port);
    const int buffer = 1 << 22;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    timeval timeout{2, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  ~Lac() { close(fd_); }

  struct Tunnel {
    uint16_t ours = 0, theirs = 0, ns = 0, nr = 0;
  };

  // Sends `m` in `t` and returns the first non-ZLB reply (none after 2 s).
  std::unique_ptr<CDatagram> Exchange(Tunnel& t, std::unique_ptr<CDatagram> m) {
    m->ns = t.ns++;
    m->nr = t.nr;
    const std::vector<uint8_t> bytes = m->WireBytes();
    sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&server_),
           sizeof server_);
    for (;;) {
      uint8_t buffer[4096];
      const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) return nullptr;
      std::string error;
      auto reply = CDatagram::ParseControl({buffer, static_cast<size_t>(n)}, error);
      if (!reply || reply->message_type == velmora::l2tp::kZlb) continue;
      t.nr = static_cast<uint16_t>(reply->ns + 1);
      return reply;
    }
  }

  bool OpenTunnel(Tunnel& t, uint16_t id) {
    t.ours = id;
    std::string error;
    auto sccrq = CDatagram::NewControl(velmora::l2tp::kSccrq, 0, 0);
    sccrq->AddU16(velmora::l2tp::kAvpProtocolVersion, 0x0100, error);
    sccrq->AddText(velmora::l2tp::kAvpHostName, "bench", error);
    sccrq->AddU16(velmora::l2tp::kAvpAssignedTunnelId, id, error);
    sccrq->AddU16(velmora::l2tp::kAvpReceiveWindowSize, 8, error);
    auto sccrp = Exchange(t, std::move(sccrq));
    if (!sccrp) return false;
    const auto assigned = sccrp->FindAvp(nullptr, 0, velmora::l2tp::kAvpAssignedTunnelId, error);
    t.theirs = static_cast<uint16_t>(assigned->value[0] << 8 | assigned->value[1]);
    // The SCCCN is acknowledged by a ZLB only; the next message carries on without waiting.
    auto scccn = CDatagram::NewControl(velmora::l2tp::kScccn, t.theirs, 0);
    scccn->ns = t.ns++;
    scccn->nr = t.nr;
    const std::vector<uint8_t> bytes = scccn->WireBytes();
    sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&server_),
           sizeof server_);
    return true;
  }

  bool OpenSession(Tunnel& t, uint16_t id) {
    std::string error;
    auto icrq = CDatagram::NewControl(velmora::l2tp::kIcrq, t.theirs, 0);
    icrq->AddU16(velmora::l2tp::kAvpAssignedSessionId, id, error);
    icrq->AddU32(velmora::l2tp::kAvpCallSerialNumber, id, error);
    auto icrp = Exchange(t, std::move(icrq));
    if (!icrp) return false;
    const auto assigned = icrp->FindAvp(nullptr, 0, velmora::l2tp::kAvpAssignedSessionId, error);
    auto iccn =
        CDatagram::NewControl(velmora::l2tp::kIccn, t.theirs,
                              static_cast<uint16_t>(assigned->value[0] << 8 | assigned->value[1]));
    iccn->AddU32(velmora::l2tp::kAvpTxConnectSpeed, 10'000'000, error);
    iccn->AddU32(velmora::l2tp::kAvpFramingType, 1, error);
    iccn->ns = t.ns++;
    iccn->nr = t.nr;
    const std::vector<uint8_t> bytes = iccn->WireBytes();
    sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&server_),
           sizeof server_);
    return true;
  }

 private:
  int fd_;
  sockaddr_in server_{};
};

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
  Lac lac(server.port());
  std::vector<Lac::Tunnel> open(tunnels);
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
      if (!lac.OpenSession(open[i], static_cast<uint16_t>(s + 1)))
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
