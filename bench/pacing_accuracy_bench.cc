// Pacing accuracy of bandwidth management, end to end: the real router with a physical bandwidth
// of 2, 10 and 15 Mbit/s, three addresses in two profiles offered twice their maxima in 1000-byte
// datagrams on the transparent port, measured at a UDP receiver in the inserter's place. The same
// load then goes through Linux tc HTB on a veth pair between two network namespaces that the
// benchmark creates (one class per address, rate = guarantee, ceil = maximum, under a parent at
// the physical bandwidth), measured the same way.
//
//   pacing_accuracy_bench [--seconds N]   (HTB needs root; it is skipped with a note otherwise)

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "router_child.h"
#include "traffic/udp_frame.h"

namespace {

using Steady = std::chrono::steady_clock;
using std::chrono::duration;
using std::chrono::milliseconds;
using velmora::bench::PortOf;
using velmora::bench::RouterChild;

constexpr size_t kDatagram = 1000;
constexpr auto kWarmUp = std::chrono::seconds(1);
constexpr auto kWindow = milliseconds(270);

struct Flow {
  const char* profile;
  int host;  // last byte of the destination address
  uint32_t guarantee;
  uint32_t maximum;
  double expected = 0;  // bit/s the scheduler's rule gives for the offered load
};

struct Scenario {
  uint32_t physical;
  uint32_t summary_a, summary_b;
  std::vector<Flow> flows;
};

// Guarantee first, then shares of the maximum: every flow gets clamp(s x maximum, guarantee,
// maximum) for the share s that fills the physical bandwidth (all at their maxima when it can).
void ComputeExpected(Scenario& scenario) {
  const auto total = [&](double s) {
    double sum = 0;
    for (const Flow& f : scenario.flows)
      sum += std::clamp(s * f.maximum, 1.0 * f.guarantee, 1.0 * f.maximum);
    return sum;
  };
  double low = 0, high = 1;
  if (total(1) > scenario.physical) {
    for (int i = 0; i < 100; ++i)
      ((total((low + high) / 2) > scenario.physical) ? high : low) = (low + high) / 2;
  }
  for (Flow& f : scenario.flows)
    f.expected = std::clamp(low * f.maximum, 1.0 * f.guarantee, 1.0 * f.maximum);
}

// Profile A (two addresses): summary 60 %, maximum 35 %, guarantee 10 % of the physical
// bandwidth; profile B (one address): summary and maximum 40 %, guarantee the same, at most 2
// Mbit/s.
Scenario MakeScenario(uint32_t physical) {
  const auto part = [&](double share) { return static_cast<uint32_t>(physical * share); };
  const uint32_t b = part(0.4);
  Scenario s{physical,
             part(0.6),
             b,
             {{"A", 5, part(0.1), part(0.35)},
              {"A", 6, part(0.1), part(0.35)},
              {"B", 7, std::min<uint32_t>(b, 2'000'000), b}}};
  ComputeExpected(s);
  return s;
}

struct Arrival {
  Steady::time_point time;
  int host;
  size_t bytes;
};

int BoundUdp(uint32_t address, uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  const int buffer = 1 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = address;
  a.sin_port = htons(port);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  timeval timeout{0, 20000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  return fd;
}

// Moves the calling thread into a named network namespace (empty: stays).
void EnterNamespace(const std::string& name) {
  if (name.empty()) return;
  const int fd = open(("/run/netns/" + name).c_str(), O_RDONLY);
  if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) std::perror("setns");
  close(fd);
}

// One measured run: a receiver, and one paced sender thread per flow at twice its maximum.
struct Load {
  std::string sender_ns, receiver_ns;
  int receiver_fd = -1;  // created by `open_receiver` inside the receiver's namespace
  std::function<int()> open_receiver;
  std::function<int()> open_sender;
  std::function<std::vector<uint8_t>(const Flow&)> datagram;
  std::function<int(const uint8_t*, size_t)> host_of;  // from a received datagram
  size_t counted_bytes = kDatagram;                    // bytes one datagram stands for
};

std::vector<Arrival> Run(const Scenario& scenario, Load& load, Steady::time_point& start,
                         Steady::duration length, const std::function<void()>& at_warm_up,
                         const std::function<void()>& at_end) {
  std::vector<Arrival> arrivals;
  std::atomic<bool> done{false};
  std::atomic<bool> ready{false};
  std::thread receiver([&] {
    EnterNamespace(load.receiver_ns);
    const int fd = load.open_receiver();
    ready = true;
    std::vector<uint8_t> buffer(65536);
    while (!done) {
      const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
      if (n > 0)
        arrivals.push_back({Steady::now(), load.host_of(buffer.data(), n), load.counted_bytes});
    }
    close(fd);
  });
  while (!ready) std::this_thread::sleep_for(milliseconds(1));
  start = Steady::now();
  std::vector<std::thread> senders;
  for (const Flow& flow : scenario.flows) {
    senders.emplace_back([&, flow] {
      EnterNamespace(load.sender_ns);
      const int fd = load.open_sender();
      const std::vector<uint8_t> datagram = load.datagram(flow);
      const auto interval = duration<double>(kDatagram * 8.0 / (2.0 * flow.maximum));
      for (long i = 0;; ++i) {
        const auto due = start + std::chrono::duration_cast<Steady::duration>(interval * i);
        if (due - start >= length) break;
        std::this_thread::sleep_until(due);
        send(fd, datagram.data(), datagram.size(), 0);
      }
      close(fd);
    });
  }
  std::this_thread::sleep_until(start + kWarmUp);
  at_warm_up();
  for (std::thread& t : senders) t.join();
  at_end();
  done = true;
  receiver.join();
  return arrivals;
}

void Report(const char* name, const Scenario& scenario, const std::vector<Arrival>& arrivals,
            Steady::time_point start, Steady::duration length) {
  const Steady::time_point from = start + kWarmUp, to = start + length;
  const double seconds = duration<double>(to - from).count();
  uint64_t busiest = 0, window = 0;
  size_t first = 0;
  for (const Arrival& a : arrivals) {
    if (a.time < from || a.time >= to) continue;
    window += a.bytes;
    while (arrivals[first].time < from || a.time - arrivals[first].time >= kWindow) {
      if (arrivals[first].time >= from) window -= arrivals[first].bytes;
      ++first;
    }
    busiest = std::max(busiest, window);
  }
  std::printf("  %-8s %-4s %10s %10s %12s %12s %8s %s\n", name, "addr", "guarantee", "maximum",
              "expected", "measured", "error", "");
  double total = 0, expected_total = 0;
  bool all_ok = true;
  for (const Flow& f : scenario.flows) {
    uint64_t bytes = 0;
    for (const Arrival& a : arrivals)
      bytes += (a.host == f.host && a.time >= from && a.time < to) ? a.bytes : 0;
    const double rate = bytes * 8 / seconds, error = (rate - f.expected) / f.expected * 100;
    const bool ok = std::abs(error) <= 2 && rate >= f.guarantee * 0.99;
    all_ok = all_ok && ok;
    total += rate;
    expected_total += f.expected;
    std::printf("  %-8s .%-3d %10u %10u %12.0f %12.0f %7.2f%% %s\n", f.profile, f.host, f.guarantee,
                f.maximum, f.expected, rate, error, ok ? "ok" : "MISS");
  }
  const double window_rate = busiest * 8 / duration<double>(kWindow).count();
  const double over = (window_rate - scenario.physical) / scenario.physical * 100;
  const bool window_ok = scenario.physical <= 2'000'000
                             ? busiest <= scenario.physical * 0.270 / 8 + kDatagram
                             : over <= 1;
  std::printf("  %-8s %-4s %10s %10u %12.0f %12.0f %7.2f%%\n", "total", "", "", scenario.physical,
              expected_total, total, (total - expected_total) / expected_total * 100);
  std::printf("  busiest 270 ms: %llu bytes = %.0f bit/s, %+.2f%% of the physical bandwidth %s\n",
              static_cast<unsigned long long>(busiest), window_rate, over,
              window_ok ? "ok" : "MISS");
  std::printf("  targets (2 %% per address, guarantees, busiest window): %s\n",
              all_ok && window_ok ? "met" : "NOT MET");
}

// CPU seconds of the thread named `name` in process `pid`, or -1.
double ThreadCpuSeconds(pid_t pid, const std::string& name) {
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string thread_name;
    std::getline(comm, thread_name);
    if (thread_name != name) continue;
    std::ifstream stat(task.path() / "stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14) utime = std::stoull(field);
      if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / sysconf(_SC_CLK_TCK);
  }
  return -1;
}

void RunVelmora(const Scenario& scenario, Steady::duration length) {
  const int probe_in = BoundUdp(htonl(INADDR_LOOPBACK), 0),
            probe_out = BoundUdp(htonl(INADDR_LOOPBACK), 0);
  const uint16_t transparent_port = PortOf(probe_in), inserter_port = PortOf(probe_out);
  close(probe_in);
  close(probe_out);
  std::ostringstream ini;
  ini << "[GENERAL]\nRemoteControlOn=0\nLogOn=0\nLogLevel=1\nInserterIP=127.0.0.1\nInserterPort="
      << inserter_port << "\nTransparentEnable=1\nTransparentPort=" << transparent_port
      << "\nStatisticEnable=0\nEnableBandwidth=1\nBufTime=1000\nMaxPayloadCut=" << scenario.physical
      << "\n[USERPROFILES]\nA=" << scenario.summary_a << "," << scenario.flows[0].maximum << ","
      << scenario.flows[0].guarantee << "\nB=" << scenario.summary_b << ","
      << scenario.flows[2].maximum << "," << scenario.flows[2].guarantee
      << "\n[NETWORKS]\nAlias=\"Bench\", IPSubNetAddr=10.0.0.0, IPSubNetMask=255.0.0.0, "
         "IPSubNetMAC=\"SubNet_001\", IPSubNetPID=291\n[SubNet_001]\n";
  for (const Flow& f : scenario.flows)
    ini << "10.0.0." << f.host << " 00-11-22-33-44-0" << f.host << " " << f.profile << "\n";
  RouterChild router("velmora_pacing", ini.str());
  for (int i = 0; i < 500; ++i) {
    std::ifstream out(router.dir() / "velmora.out");
    std::string text((std::istreambuf_iterator<char>(out)), {});
    if (text.find("Bandwidth management is started") != std::string::npos) break;
    std::this_thread::sleep_for(milliseconds(10));
  }
  std::this_thread::sleep_for(milliseconds(200));  // the transparent port binds after the start

  Load load;
  load.open_receiver = [&] { return BoundUdp(htonl(INADDR_LOOPBACK), inserter_port); };
  load.open_sender = [&] {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(transparent_port);
    connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
    return fd;
  };
  load.datagram = [](const Flow& f) {
    const std::vector<uint8_t> payload(kDatagram - 8 - 42, 0x5a);
    return velmora::TransparentUdpDatagram(htonl(0xc0000201), htonl(0x0a000000 | f.host), 9, 1,
                                           payload);
  };
  load.host_of = [](const uint8_t* d, size_t n) { return n >= 4 ? int{d[3]} : -1; };
  double cpu_start = 0, cpu_end = 0;
  Steady::time_point start;
  const std::vector<Arrival> arrivals = Run(
      scenario, load, start, length,
      [&] { cpu_start = ThreadCpuSeconds(router.pid(), "bwc-sender"); },
      [&] { cpu_end = ThreadCpuSeconds(router.pid(), "bwc-sender"); });
  Report("velmora", scenario, arrivals, start, length);
  std::printf("  paced sender thread CPU: %.1f%% of one core\n",
              (cpu_end - cpu_start) / duration<double>(length - kWarmUp).count() * 100);
}

int Shell(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str());
}

constexpr const char* kNsSend = "velmora-bench-send";
constexpr const char* kNsReceive = "velmora-bench-recv";

void RemoveNamespaces() {
  Shell(std::string("ip netns del ") + kNsSend);
  Shell(std::string("ip netns del ") + kNsReceive);
}

// Two namespaces joined by a veth pair; the receiving side carries the three destinations; the
// sending side shapes them with HTB.
bool SetUpHtb(const Scenario& scenario) {
  RemoveNamespaces();
  const std::string s = kNsSend, r = kNsReceive;
  std::vector<std::string> commands = {
      "ip netns add " + s,
      "ip netns add " + r,
      "ip link add vbench0 netns " + s + " type veth peer name vbench1 netns " + r,
      "ip -n " + s + " addr add 10.231.0.1/24 dev vbench0",
      "ip -n " + s + " link set vbench0 up",
      "ip -n " + r + " addr add 10.231.0.2/24 dev vbench1",
      "ip -n " + r + " link set vbench1 up",
      "ip netns exec " + s + " tc qdisc add dev vbench0 root handle 1: htb",
      "ip netns exec " + s + " tc class add dev vbench0 parent 1: classid 1:1 htb rate " +
          std::to_string(scenario.physical) + "bit ceil " + std::to_string(scenario.physical) +
          "bit"};
  for (const Flow& f : scenario.flows) {
    const std::string host = std::to_string(f.host);
    commands.push_back("ip -n " + r + " addr add 10.231.0." + host + "/32 dev vbench1");
    commands.push_back("ip netns exec " + s + " tc class add dev vbench0 parent 1:1 classid 1:" +
                       host + "0 htb rate " + std::to_string(std::max<uint32_t>(f.guarantee, 8)) +
                       "bit ceil " + std::to_string(f.maximum) + "bit");
    commands.push_back(
        "ip netns exec " + s +
        " tc filter add dev vbench0 parent 1: protocol ip prio 1 u32 match ip dst 10.231.0." +
        host + "/32 flowid 1:" + host + "0");
  }
  for (const std::string& command : commands) {
    if (Shell(command) != 0) {
      std::printf("  HTB: \"%s\" failed; skipped\n", command.c_str());
      RemoveNamespaces();
      return false;
    }
  }
  return true;
}

void RunHtb(const Scenario& scenario, Steady::duration length) {
  if (geteuid() != 0) {
    std::printf("  HTB: needs root for the network namespaces; skipped\n");
    return;
  }
  if (!SetUpHtb(scenario)) return;
  constexpr uint16_t kPort = 9000;
  Load load;
  load.sender_ns = kNsSend;
  load.receiver_ns = kNsReceive;
  load.open_receiver = [] { return BoundUdp(htonl(INADDR_ANY), kPort); };
  int next = 0;
  std::mutex mutex;
  load.open_sender = [&] {
    std::lock_guard<std::mutex> guard(mutex);
    const Flow& f = scenario.flows[next++];
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(0x0ae70000 | f.host);
    to.sin_port = htons(kPort);
    connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
    return fd;
  };
  // The Ethernet frame on the veth is the payload + 42 bytes: 1000 bytes, as counted.
  load.datagram = [](const Flow& f) {
    return std::vector<uint8_t>(kDatagram - 42, static_cast<uint8_t>(f.host));
  };
  load.host_of = [](const uint8_t* d, size_t n) { return n >= 1 ? int{d[0]} : -1; };
  Steady::time_point start;
  const std::vector<Arrival> arrivals = Run(
      scenario, load, start, length, [] {}, [] {});
  Report("tc HTB", scenario, arrivals, start, length);
  RemoveNamespaces();
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 5;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--seconds") seconds = std::atoi(argv[i + 1]);
  }
  const Steady::duration length = kWarmUp + std::chrono::seconds(seconds);
  signal(SIGPIPE, SIG_IGN);
  for (const uint32_t physical : {2'000'000u, 10'000'000u, 15'000'000u}) {
    const Scenario scenario = MakeScenario(physical);
    std::printf(
        "physical bandwidth %u bit/s, offered load twice the maxima (%.0f bit/s), %zu-byte "
        "datagrams, %d s after a 1 s warm-up\n",
        physical, 2.0 * (scenario.flows[0].maximum * 2 + scenario.flows[2].maximum), kDatagram,
        seconds);
    RunVelmora(scenario, length);
    RunHtb(scenario, length);
  }
  return 0;
}
