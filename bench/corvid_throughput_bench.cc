// Throughput of the virtual adapter: frames that the kernel routes into the TAP corvid0, from
// the TAP to the inserter socket. Everything runs in a network namespace that the benchmark
// makes (and deletes at its end) with the adapter installed in it by scripts/corvid-adapter. A
// paced sender sends UDP datagrams to 10.1.0.5, which has a permanent neighbour entry on the TAP,
// so that no ARP is asked for; the kernel routes them into the TAP, and the relay sends each frame
// behind its 8-byte inserter header to a receiver on 127.0.0.1. The relay is the real velmora
// (the adapter's source, its routes for 10.1.0.0/16, no bandwidth management), or a reference
// written here (one process, one thread: the TAP read without blocking until it is empty or 64
// frames are in, poll when it is empty, the batch sent with sendmmsg from a socket made as
// velmora's sending socket is, behind its route 10.1.0.0/16 dev corvid0). For each relay and
// packet size, the highest offered rate that arrives complete and in order over the full trial
// time is found, best of the runs; loss and order are judged at the receiver by the sequence
// number in the last 8 bytes of each frame. Printed: each rate, the ratio velmora / reference
// against its target, each relay's CPU time (user + system) per frame over its final full-length
// trial, and where velmora's time goes when the target is missed. Sizes are those of the IPv4
// packets.
//
// Then the ARP answer under load: while a new velmora carries 1400-byte packets at the highest
// clean rate found for it, a datagram goes every 50 ms to a fresh host of its IP/MAC table
// (10.1.1.1, 10.1.1.2, ...) without a neighbour entry, so that the kernel asks for it by
// broadcast ARP; a packet socket on the TAP sees each request go out and the answer come in with
// the kernel's timestamps. Printed: how many requests were answered, the median and the longest
// time from request to answer, against the target, and whether the load stayed clean meanwhile.
//
// Needs root and /dev/net/tun (says so and measures nothing without them).
//
// usage: corvid_throughput_bench [--seconds S] [--runs N] [--sizes 100,1400]
//        (defaults: 10 s, 3 runs, 100 and 1400 bytes; the ARP trial lasts S seconds)
// Every figure (the rates, their ratio per size, the ARP times) comes from the one command
//   nice -n 0 build/release/bench/corvid_throughput_bench

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "packet/corvid_frame.h"
#include "packet/inserter_datagram.h"
#include "platform/address_text.h"
#include "platform/process_priority.h"
#include "router_stage_costs.h"
#include "testing/network_namespace.h"
#include "throughput_trial.h"
#include "traffic/udp_frame.h"

namespace velmora::bench {
namespace {

constexpr const char* kUsage =
    "corvid_throughput_bench [--seconds S] [--runs N] [--sizes 100,1400]";
constexpr const char* kDevice = "corvid0";
constexpr uint16_t kPid = 291;
constexpr const char* kLoadHost = "10.1.0.5";
constexpr size_t kArpLoadSize = 1400;
constexpr size_t kArpHosts = 254;  // 10.1.1.1 to 10.1.1.254, each asked for once
constexpr auto kArpInterval = std::chrono::milliseconds(50);
constexpr auto kArpGrace = std::chrono::milliseconds(500);  // for the last answer, below a resend
constexpr double kArpTargetSeconds = 0.010;

std::string ArpHost(size_t index) {
  return "10.1.1." + std::to_string(index + 1);
}

// The benchmark's network namespace, entered by the main thread, with the adapter installed in
// it; the adapter and the namespace go at the program's exit, also when it ends early.
class AdapterNamespace {
 public:
  static AdapterNamespace& Instance() {
    static AdapterNamespace instance;
    return instance;
  }
  ~AdapterNamespace() { namespace_.Run(Script("remove")); }

  bool ready() const { return ready_; }
  // A shell command in the namespace; whether it succeeded.
  bool Run(const std::string& command) const { return namespace_.Run(command) == 0; }

 private:
  AdapterNamespace() : ready_(namespace_.entered() && namespace_.Run(Script("add")) == 0) {}
  static std::string Script(const char* action) {
    return std::string(CORVID_ADAPTER_SCRIPT) + " " + action + " --device " + kDevice +
           " >/dev/null";
  }

  testing::NetworkNamespace namespace_;
  bool ready_;
};

// The neighbour entry that spares both relays' load any ARP.
void PinLoadHost() {
  AdapterNamespace::Instance().Run(std::string("ip neigh replace ") + kLoadHost +
                                   " lladdr 00:11:22:33:44:55 dev " + kDevice + " nud permanent");
}

std::string RouterIni(uint16_t inserter_port) {
  std::string ini =
      "[GENERAL]\nRemoteControlOn=0\nPylonEnable=0\nBouncerEnable=0\n"
      "LogOn=0\nLogLevel=1\nEnableBandwidth=0\n"
      "InserterIP=127.0.0.1\nInserterPort=" +
      std::to_string(inserter_port) +
      "\nTransparentEnable=0\nL2tpEnable=0\nCorvidEnable=1\nCorvidDefaultRoute=0\n"
      "[NETWORKS]\nAlias=\"Bench\", IPSubNetAddr=10.1.0.0, IPSubNetMask=255.255.0.0, "
      "IPSubNetMAC=\"SubNet_001\", IPSubNetPID=" +
      std::to_string(kPid) + "\n[SubNet_001]\n" + kLoadHost + " 00-11-22-33-44-55\n";
  char mac[32];
  for (size_t i = 0; i < kArpHosts; ++i) {
    std::snprintf(mac, sizeof mac, " 02-00-00-00-01-%02zx\n", i + 1);
    ini += ArpHost(i) + mac;
  }
  return ini;
}

// A queue of the TAP corvid0 (made with several queues by its script), attached to without
// blocking; -1 when that fails. Alone on the device, it gets every frame.
int AttachTap() {
  const int fd = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
  ifreq request{};
  std::strncpy(request.ifr_name, kDevice, IFNAMSIZ - 1);
  request.ifr_flags = IFF_TAP | IFF_NO_PI | IFF_MULTI_QUEUE;
  if (fd >= 0 && ::ioctl(fd, TUNSETIFF, &request) == 0) return fd;
  std::perror("attaching to the TAP");
  if (fd >= 0) ::close(fd);
  return -1;
}

// The reference relay's loop, for a forked child at the router's raised priority: frames read from
// the TAP `tap` until it is empty or kBatch are in, each behind its inserter header, to `out`'s
// peer in one call; a wait in poll when the TAP was found empty.
[[noreturn]] void RelayTapForever(int tap, int out) {
  RaiseProcessPriority();  // as the router raises its own
  MessageBatch batch;
  pollfd readable{.fd = tap, .events = POLLIN, .revents = 0};
  for (;;) {
    size_t count = 0;
    ssize_t length = 0;
    while (count < kBatch) {
      uint8_t* slot = batch.slot(count);
      length = ::read(tap, slot + kQosHeaderSize, kSlotSize - kQosHeaderSize);
      if (length < 0) break;
      if (static_cast<size_t>(length) < frame::kIpv4HeadersEnd) continue;
      WriteInserterHeader(slot, kPid);
      batch.Point(count++, slot, kQosHeaderSize + static_cast<size_t>(length));
    }
    batch.Send(out, count);
    if (length < 0) ::poll(&readable, 1, -1);
  }
}

// The reference relay for one run: a forked child that moves frames from the TAP to the receiver
// with RelayTapForever, behind the route it needs, fed by a sender of its own. The route goes
// with the object. Owned by the main thread.
class TapReferenceRelay final : public RelayUnderTest {
 public:
  TapReferenceRelay(uint16_t receiver_port, size_t size)
      : sender_(sending_.fd(), HostAddress(kLoadHost), LoadPayload(size)) {
    ::setsockopt(outgoing_.fd(), SOL_SOCKET, SO_RCVBUF, &kUdpSocketReceiveBuffer,
                 sizeof kUdpSocketReceiveBuffer);
    outgoing_.ConnectTo(receiver_port);
    const int tap = AttachTap();
    if (tap < 0) std::exit(1);
    child_ = std::make_unique<ForkedChild>([&] { RelayTapForever(tap, outgoing_.fd()); });
    ::close(tap);  // the child's copy alone keeps the TAP attached
    AdapterNamespace::Instance().Run(Route("replace"));
    PinLoadHost();
  }
  ~TapReferenceRelay() override { AdapterNamespace::Instance().Run(Route("del")); }

  pid_t pid() const override { return child_->pid(); }
  PacedSender& sender() override { return sender_; }

 private:
  static std::string Route(const char* verb) {
    return std::string("ip route ") + verb + " 10.1.0.0/16 dev " + kDevice;
  }

  LoopbackUdp outgoing_;
  RoutedUdp sending_;
  PacedSender sender_;
  std::unique_ptr<ForkedChild> child_;
};

// The real router as the relay: its adapter source takes the frames the kernel routes into the
// TAP, its inserter is the receiver.
std::unique_ptr<RelayUnderTest> Velmora(size_t size, uint16_t receiver_port) {
  auto relay = std::make_unique<RouterRelay<RoutedUdp>>("velmora_corvid_throughput_bench",
                                                        RouterIni(receiver_port),
                                                        HostAddress(kLoadHost), LoadPayload(size));
  PinLoadHost();
  return relay;
}

std::unique_ptr<RelayUnderTest> Reference(size_t size, uint16_t receiver_port) {
  return std::make_unique<TapReferenceRelay>(receiver_port, size);
}

// The adapter source's own work on a frame of the benchmark's size (to the host of the timing's
// tables): its decoding, which writes the destination MAC and the header in place, and the
// hand-over.
std::vector<StageCost> CorvidStageCosts(size_t size) {
  return Ipv4FrameStageCosts(size, [](std::span<uint8_t> slot, const TableSnapshot& tables) {
    DecodeCorvidFrame(slot, tables, true);
  });
}

// What the packet socket saw of the ARP conversation and how long the answers took.
struct ArpTimes {
  size_t probes = 0;            // datagrams to hosts without a neighbour entry
  size_t requested = 0;         // hosts the kernel asked for
  std::vector<double> seconds;  // from request to answer, of the answered ones

  double Median() {
    std::sort(seconds.begin(), seconds.end());
    return seconds.empty() ? 0 : seconds[seconds.size() / 2];
  }
  double Longest() const {
    return seconds.empty() ? 0 : *std::max_element(seconds.begin(), seconds.end());
  }
};

// Makes the kernel ask for `count` fresh hosts by ARP, one every kArpInterval, and times each
// request against its answer on the TAP with the kernel's timestamps. Its own thread sends the
// datagrams and reads the packet socket; the main thread starts it and takes the times with
// Finish.
class ArpProbes {
 public:
  explicit ArpProbes(size_t count)
      : count_(count),
        socket_(::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0)),
        thread_([this] { Run(); }) {}
  ~ArpProbes() {
    if (thread_.joinable()) thread_.join();
    ::close(socket_);
  }
  ArpProbes(const ArpProbes&) = delete;
  ArpProbes& operator=(const ArpProbes&) = delete;

  ArpTimes Finish() {
    thread_.join();
    ArpTimes times{.probes = count_, .requested = requests_.size(), .seconds = {}};
    for (const auto& [host, asked] : requests_) {
      const auto answer = answers_.find(host);
      if (answer != answers_.end()) times.seconds.push_back(answer->second - asked);
    }
    return times;
  }

 private:
  using Steady = std::chrono::steady_clock;

  // ARP frames of the TAP, both ways, with their timestamps.
  bool Watch() {
    sock_filter arp_only[] = {
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 12),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_ARP, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xffff),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    const sock_fprog program{.len = static_cast<unsigned short>(std::size(arp_only)),
                             .filter = arp_only};
    const int on = 1;
    sockaddr_ll device{};
    device.sll_family = AF_PACKET;
    device.sll_protocol = htons(ETH_P_ALL);
    device.sll_ifindex = static_cast<int>(::if_nametoindex(kDevice));
    return ::setsockopt(socket_, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0 &&
           ::setsockopt(socket_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0 &&
           ::bind(socket_, reinterpret_cast<const sockaddr*>(&device), sizeof device) == 0;
  }

  void Run() {
    if (!Watch()) {
      std::perror("packet socket on the TAP");
      return;
    }
    RoutedUdp probing;
    const Bytes payload(64 - kIpUdpHeaders, 0);  // sequence number 0: not the load's
    const Steady::time_point start = Steady::now();
    for (size_t i = 0; i < count_; ++i) {
      ReadUntil(start + i * kArpInterval);
      const sockaddr_in to = HostAddress(ArpHost(i));
      ::sendto(probing.fd(), payload.data(), payload.size(), 0,
               reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    ReadUntil(start + (count_ - 1) * kArpInterval + kArpGrace);
  }

  void ReadUntil(Steady::time_point until) {
    pollfd readable{.fd = socket_, .events = POLLIN, .revents = 0};
    for (Steady::time_point now = Steady::now(); now < until; now = Steady::now()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now);
      if (::poll(&readable, 1, static_cast<int>(left.count())) > 0) ReadFrames();
    }
  }

  // Every frame waiting: the first request for a host and the first answer from it.
  void ReadFrames() {
    uint8_t frame[64];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    for (;;) {
      iovec vector{frame, sizeof frame};
      msghdr message{};
      message.msg_iov = &vector;
      message.msg_iovlen = 1;
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      if (::recvmsg(socket_, &message, MSG_DONTWAIT) < 42) return;
      const cmsghdr* stamp = CMSG_FIRSTHDR(&message);
      if (stamp == nullptr || stamp->cmsg_type != SCM_TIMESTAMPNS) continue;
      timespec at;
      std::memcpy(&at, CMSG_DATA(stamp), sizeof at);
      Note(frame, static_cast<double>(at.tv_sec) + static_cast<double>(at.tv_nsec) * 1e-9);
    }
  }

  // An ARP frame: operation at 20, sender's IPv4 address at 28, target's at 38.
  void Note(const uint8_t* frame, double seconds) {
    uint32_t sender, target;
    std::memcpy(&sender, frame + 28, 4);
    std::memcpy(&target, frame + 38, 4);
    if (frame[20] == 0 && frame[21] == 1) requests_.emplace(target, seconds);
    if (frame[20] == 0 && frame[21] == 2) answers_.emplace(sender, seconds);
  }

  size_t count_;
  int socket_;
  std::map<uint32_t, double> requests_, answers_;  // by host, in seconds of the system's clock
  std::thread thread_;
};

// The ARP trial: a new velmora carries `rate` 1400-byte packets per second (its highest clean
// rate; searched first when not known) for the full trial time while ArpProbes asks for hosts.
void MeasureArpUnderLoad(const ThroughputOptions& options, double rate) {
  Receiver receiver(kQosHeaderSize + kEthernetHeader + kArpLoadSize);
  const std::unique_ptr<RelayUnderTest> velmora = Velmora(kArpLoadSize, receiver.port());
  RelayUnderTest& relay = *velmora;
  if (!WaitForRelay(relay, receiver)) {
    std::fprintf(stderr, "velmora never forwarded\n");
    std::exit(1);
  }
  if (rate == 0) rate = MaxCleanRate(relay, receiver, options.seconds).rate;
  if (rate == 0) {
    std::printf("ARP under load: velmora has no clean rate at %zu bytes; not measured\n",
                kArpLoadSize);
    return;
  }
  const auto probes = std::min<size_t>(
      kArpHosts, static_cast<size_t>(options.seconds * 1000 / kArpInterval.count()));
  ArpProbes arp(std::max<size_t>(probes, 1));
  const Trial load = RunTrial(relay, receiver, rate, options.seconds);
  ArpTimes times = arp.Finish();
  const double median = times.Median(), longest = times.Longest();
  std::printf(
      "ARP under load: %zu bytes at %.0f datagrams/s, %llu of %llu arrived (%llu out of order); "
      "%zu probes, %zu requests, %zu answered: median %.3f ms, max %.3f ms; target under %.0f ms: "
      "%s\n",
      kArpLoadSize, load.rate, static_cast<unsigned long long>(load.received),
      static_cast<unsigned long long>(load.offered), static_cast<unsigned long long>(load.disorder),
      times.probes, times.requested, times.seconds.size(), median * 1e3, longest * 1e3,
      kArpTargetSeconds * 1e3,
      times.seconds.size() == times.probes && times.probes > 0 && longest < kArpTargetSeconds
          ? "met"
          : "NOT met");
}

}  // namespace
}  // namespace velmora::bench

int main(int argc, char** argv) {
  namespace bench = velmora::bench;
  const std::optional<bench::ThroughputOptions> options = bench::NamespaceBenchmarkOptions(
      argc, argv, bench::kUsage, velmora::testing::NetworkNamespace::Unavailable(),
      [] { return bench::AdapterNamespace::Instance().ready(); });
  if (!options) return 0;
  const bench::BestBySize best = bench::CompareRelays(
      *options, "virtual adapter (sizes of the IPv4 packets)",
      velmora::kQosHeaderSize + bench::kEthernetHeader,
      {{"velmora", bench::Velmora}, {"reference, same buffers", bench::Reference}},
      bench::CorvidStageCosts);
  const auto at_load_size = best.find(bench::kArpLoadSize);
  bench::MeasureArpUnderLoad(*options,
                             at_load_size == best.end() ? 0 : at_load_size->second[0].rate);
  return 0;
}
