// Throughput of the tap: frames that arrive on a physical adapter, from the capture to the
// inserter socket. The benchmark makes two network namespaces joined by a veth pair (and deletes
// them at its end): the near one, which its main thread enters, holds pylon0 (10.20.0.1), the
// relay and a receiver on 127.0.0.1; the far one holds far0 (10.20.0.2) and the paced sender's
// socket, made by a thread that entered it. The sender sends UDP datagrams to 10.1.0.5 behind
// far0, which has a permanent neighbour entry there (the MAC of its IP/MAC row), so that no ARP
// is asked for; the far kernel sends them over the veth pair, and the relay takes each frame
// from pylon0 and sends it behind its 8-byte inserter header to the receiver. The relay is the
// real velmora (the tap on the interface that holds MCastNIC = 10.20.0.1, no other source, no
// bandwidth management), or a reference written here (one process, one thread: libpcap on pylon0
// opened as the tap opens its IPv4 capture: promiscuous, inbound only, immediate, non-blocking,
// the same ring and the same kernel filter; up to 64 frames per pcap_dispatch sent with one
// sendmmsg from a socket made as velmora's sending socket is, poll when the ring was found
// empty), at the router's raised priority. GRO is off on pylon0 for both. For each relay and packet
// size, the highest offered rate that arrives complete and in order over the full trial time is
// found, best of the runs; loss and order are judged at the receiver by the sequence number in the
// last 8 bytes of each frame. Printed: each rate, the ratio velmora / reference against its target,
// each relay's CPU time (user + system) per frame over its final full-length trial, and where
// velmora's time goes when the target is missed. Sizes are those of the IPv4 packets.
//
// Then velmora with every filter slot set: three more local addresses on pylon0 (10.20.0.11 to
// 13, added before the router starts, so that its four address slots are used) and four source
// filters (10.20.0.2 and three hosts that send nothing); its rate against velmora's unfiltered
// one, which it should reach within 10 %.
//
// Needs root (says so and measures nothing without it).
//
// usage: pylon_throughput_bench [--seconds S] [--runs N] [--sizes 100,1400]
//        (defaults: 10 s, 3 runs, 100 and 1400 bytes)
// Every figure (the rates, the ratio per size, the filtered rates) comes from the one command
//   nice -n 0 build/release/bench/pylon_throughput_bench

#include <fcntl.h>
#include <linux/filter.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "packet/inserter_datagram.h"
#include "packet/pylon_frame.h"
#include "platform/address_text.h"
#include "platform/process_priority.h"
#include "platform/pylon_driver.h"
#include "platform/pylon_filters.h"
#include "router_stage_costs.h"
#include "testing/network_namespace.h"
#include "throughput_trial.h"

namespace velmora::bench {
namespace {

constexpr const char* kUsage = "pylon_throughput_bench [--seconds S] [--runs N] [--sizes 100,1400]";
constexpr const char* kNearDevice = "pylon0";
constexpr const char* kNearAddress = "10.20.0.1";
constexpr const char* kFarAddress = "10.20.0.2";
constexpr uint16_t kPid = 292;
constexpr const char* kLoadHost = "10.1.0.5";
constexpr const char* kLoadHostMac = "00:11:22:33:44:55";
constexpr int kTapRing = 16 << 20;  // the ring of the tap's IPv4 capture
constexpr double kFilteredTarget = 0.9;
// The filtered run's further local addresses of the near end and its source filters.
const std::vector<std::string> kExtraLocalAddresses = {"10.20.0.11", "10.20.0.12", "10.20.0.13"};
const std::vector<std::string> kSourceFilters = {kFarAddress, "10.20.0.21", "10.20.0.22",
                                                 "10.20.0.23"};

// The benchmark's two namespaces and the veth pair between them: the near one entered by the
// main thread, the far one entered only by threads that make its sockets. Both go at the
// program's exit, also when it ends early. Used by the main thread.
class VethNamespaces {
 public:
  static VethNamespaces& Instance() {
    static VethNamespaces instance;
    return instance;
  }
  ~VethNamespaces() {
    std::system(("ip netns pids " + far_ + " | xargs -r kill -9; ip netns del " + far_).c_str());
  }

  bool ready() const { return ready_; }
  // A shell command in the near namespace; whether it succeeded.
  bool Run(const std::string& command) const { return near_.Run(command) == 0; }
  // Runs `work` on a thread in the far namespace and waits for it.
  void InFar(const std::function<void()>& work) const {
    std::thread([&] {
      const int far = ::open(("/run/netns/" + far_).c_str(), O_RDONLY | O_CLOEXEC);
      if (far >= 0 && ::setns(far, CLONE_NEWNET) == 0) work();
      if (far >= 0) ::close(far);
    }).join();
  }

 private:
  VethNamespaces() : far_(near_.name() + "-far") {
    ready_ =
        near_.entered() && std::system(("ip netns add " + far_).c_str()) == 0 &&
        Run(std::string("ip link add ") + kNearDevice + " type veth peer name far0 netns " + far_ +
            " && ip addr add " + kNearAddress + "/24 dev " + kNearDevice + " && ip link set " +
            kNearDevice + " up && ethtool -K " + kNearDevice + " gro off >/dev/null") &&
        Far(std::string("ip link set lo up && sysctl -qw net.ipv6.conf.far0.disable_ipv6=1 "
                        "&& ip addr add ") +
            kFarAddress + "/24 dev far0 && ip link set far0 up && ip route add 10.1.0.0/16 " +
            "dev far0 && ip neigh replace " + kLoadHost + " lladdr " + kLoadHostMac +
            " dev far0 nud permanent");
  }
  bool Far(const std::string& command) const {
    return std::system(("ip netns exec " + far_ + " sh -c '" + command + "'").c_str()) == 0;
  }

  testing::NetworkNamespace near_;
  std::string far_;
  bool ready_ = false;
};

// A UDP socket of the far namespace for the load, with don't-fragment off; the kernel routes its
// datagrams out of far0. Closed with the object; owned by whoever made it.
class FarUdp {
 public:
  FarUdp() {
    VethNamespaces::Instance().InFar([this] { socket_.emplace(); });
  }
  int fd() const { return socket_ ? socket_->fd() : -1; }

 private:
  std::optional<RoutedUdp> socket_;
};

std::string RouterIni(uint16_t inserter_port, const std::vector<std::string>& source_filters) {
  std::string ini =
      "[GENERAL]\nRemoteControlOn=0\nPylonEnable=1\nBouncerEnable=0\n"
      "LogOn=0\nLogLevel=1\nEnableBandwidth=0\n"
      "InserterIP=127.0.0.1\nInserterPort=" +
      std::to_string(inserter_port) + "\nMCastNIC=" + kNearAddress +
      "\nTypeChannel=DVB\nTransparentEnable=0\nL2tpEnable=0\nCorvidEnable=0\n"
      "[NETWORKS]\nAlias=\"Bench\", IPSubNetAddr=10.1.0.0, IPSubNetMask=255.255.0.0, "
      "IPSubNetMAC=\"SubNet_001\", IPSubNetPID=" +
      std::to_string(kPid) + "\n[SubNet_001]\n" + kLoadHost + " 00-11-22-33-44-55\n";
  if (!source_filters.empty()) ini += "[PYLONSRCFILTER]\n";
  for (const std::string& source : source_filters) ini += source + "\n";
  return ini;
}

// Further local addresses on the near end for the life of the object. Owned by the main thread.
class LocalAddresses {
 public:
  explicit LocalAddresses(const std::vector<std::string>& addresses) : addresses_(addresses) {
    Change("add");
  }
  ~LocalAddresses() { Change("del"); }
  LocalAddresses(const LocalAddresses&) = delete;
  LocalAddresses& operator=(const LocalAddresses&) = delete;

 private:
  void Change(const char* verb) const {
    for (const std::string& address : addresses_) {
      VethNamespaces::Instance().Run(std::string("ip addr ") + verb + " " + address + "/32 dev " +
                                     kNearDevice);
    }
  }

  std::vector<std::string> addresses_;
};

// velmora with every filter slot of the tap set: the further local addresses exist before the
// router starts (it reads them then) and go after it ended. Owned by the main thread.
class FilteredVelmora final : public RelayUnderTest {
 public:
  FilteredVelmora(size_t size, uint16_t receiver_port)
      : local_(kExtraLocalAddresses),
        router_("velmora_pylon_throughput_bench", RouterIni(receiver_port, kSourceFilters),
                HostAddress(kLoadHost), LoadPayload(size)) {}

  pid_t pid() const override { return router_.pid(); }
  PacedSender& sender() override { return router_.sender(); }

 private:
  LocalAddresses local_;
  RouterRelay<FarUdp> router_;
};

// The reference's capture on the near end, opened as the tap opens its IPv4 capture, with the
// tap's IPv4 filter for the near end's address attached to the socket (the kernel alone runs
// it); null when that fails.
pcap_t* OpenReferenceCapture() {
  char error[PCAP_ERRBUF_SIZE] = {};
  pcap_t* capture = pcap_create(kNearDevice, error);
  if (capture == nullptr) return nullptr;
  const uint32_t local[] = {DottedToAddress(kNearAddress)};
  const std::string filter = BuildPylonCaptureFilters(local, {}).ipv4;
  bpf_program program{};
  bool ready = pcap_set_snaplen(capture, kPylonFrameRoom) == 0 &&
               pcap_set_promisc(capture, 1) == 0 && pcap_set_immediate_mode(capture, 1) == 0 &&
               pcap_set_buffer_size(capture, kTapRing) == 0 && pcap_activate(capture) >= 0 &&
               pcap_setdirection(capture, PCAP_D_IN) == 0 &&
               pcap_setnonblock(capture, 1, error) == 0 &&
               pcap_compile(capture, &program, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) == 0;
  if (ready) {
    const sock_fprog kernel_program{.len = static_cast<unsigned short>(program.bf_len),
                                    .filter = reinterpret_cast<sock_filter*>(program.bf_insns)};
    ready = ::setsockopt(pcap_get_selectable_fd(capture), SOL_SOCKET, SO_ATTACH_FILTER,
                         &kernel_program, sizeof kernel_program) == 0;
    pcap_freecode(&program);
  }
  if (ready) return capture;
  std::fprintf(stderr, "reference capture on %s: %s%s\n", kNearDevice, pcap_geterr(capture), error);
  pcap_close(capture);
  return nullptr;
}

// The frames one pcap_dispatch call gathers into a batch, each behind its inserter header.
struct Gathered {
  MessageBatch* batch;
  size_t count = 0;
};

void Gather(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
  Gathered& gathered = *reinterpret_cast<Gathered*>(user);
  if (header->caplen != header->len || header->caplen < frame::kIpv4HeadersEnd ||
      header->caplen > kSlotSize - kQosHeaderSize) {
    return;
  }
  uint8_t* slot = gathered.batch->slot(gathered.count);
  std::memcpy(slot + kQosHeaderSize, bytes, header->caplen);
  WriteInserterHeader(slot, kPid);
  gathered.batch->Point(gathered.count++, slot, kQosHeaderSize + header->caplen);
}

// The reference relay's loop, for a forked child at the router's raised priority: up to kBatch
// frames from the capture, to `out`'s peer in one call; a wait in poll when the ring held fewer.
[[noreturn]] void RelayCaptureForever(int out) {
  RaiseProcessPriority();
  pcap_t* capture = OpenReferenceCapture();
  if (capture == nullptr) ::_exit(1);
  MessageBatch batch;
  pollfd readable{.fd = pcap_get_selectable_fd(capture), .events = POLLIN, .revents = 0};
  for (;;) {
    Gathered gathered{.batch = &batch};
    const int taken = pcap_dispatch(capture, static_cast<int>(kBatch), Gather,
                                    reinterpret_cast<u_char*>(&gathered));
    batch.Send(out, gathered.count);
    if (taken < static_cast<int>(kBatch)) ::poll(&readable, 1, -1);
  }
}

// The reference relay for one run: a forked child that moves frames from the capture to the
// receiver with RelayCaptureForever, fed by a sender of its own in the far namespace. Owned by
// the main thread.
class CaptureReferenceRelay final : public RelayUnderTest {
 public:
  CaptureReferenceRelay(uint16_t receiver_port, size_t size)
      : sender_(sending_.fd(), HostAddress(kLoadHost), LoadPayload(size)) {
    ::setsockopt(outgoing_.fd(), SOL_SOCKET, SO_RCVBUF, &kUdpSocketReceiveBuffer,
                 sizeof kUdpSocketReceiveBuffer);
    outgoing_.ConnectTo(receiver_port);
    child_ = std::make_unique<ForkedChild>([&] { RelayCaptureForever(outgoing_.fd()); });
  }

  pid_t pid() const override { return child_->pid(); }
  PacedSender& sender() override { return sender_; }

 private:
  LoopbackUdp outgoing_;
  FarUdp sending_;
  PacedSender sender_;
  std::unique_ptr<ForkedChild> child_;
};

std::unique_ptr<RelayUnderTest> Velmora(size_t size, uint16_t receiver_port) {
  return std::make_unique<RouterRelay<FarUdp>>("velmora_pylon_throughput_bench",
                                               RouterIni(receiver_port, {}), HostAddress(kLoadHost),
                                               LoadPayload(size));
}

std::unique_ptr<RelayUnderTest> Filtered(size_t size, uint16_t receiver_port) {
  return std::make_unique<FilteredVelmora>(size, receiver_port);
}

std::unique_ptr<RelayUnderTest> Reference(size_t size, uint16_t receiver_port) {
  return std::make_unique<CaptureReferenceRelay>(receiver_port, size);
}

// The tap's own work on a frame of the benchmark's size: its decoding, which writes the
// destination MAC and the header in place, and the hand-over.
std::vector<StageCost> PylonStageCosts(size_t size) {
  return Ipv4FrameStageCosts(size, [](std::span<uint8_t> slot, const TableSnapshot& tables) {
    DecodePylonPortFrame(slot, tables, true);
  });
}

// The filtered velmora (third of each size) against the unfiltered one (first).
void PrintFilteredRates(const BestBySize& best_by_size) {
  for (const auto& [size, best] : best_by_size) {
    const double ratio = best[0].rate > 0 ? best[2].rate / best[0].rate : 0;
    std::printf("%4zu bytes  filtered / unfiltered velmora: %.2f, target %.1f: %s\n", size, ratio,
                kFilteredTarget, ratio >= kFilteredTarget ? "met" : "NOT met");
  }
}

}  // namespace
}  // namespace velmora::bench

int main(int argc, char** argv) {
  namespace bench = velmora::bench;
  const std::optional<bench::ThroughputOptions> options = bench::NamespaceBenchmarkOptions(
      argc, argv, bench::kUsage, velmora::testing::NetworkNamespace::Unavailable(),
      [] { return bench::VethNamespaces::Instance().ready(); });
  if (!options) return 0;
  const bench::BestBySize best =
      bench::CompareRelays(*options, "tap on a veth pair (sizes of the IPv4 packets)",
                           velmora::kQosHeaderSize + bench::kEthernetHeader,
                           {{"velmora", bench::Velmora},
                            {"reference, same capture", bench::Reference},
                            {"velmora, 4+4 filters", bench::Filtered}},
                           bench::PylonStageCosts);
  bench::PrintFilteredRates(best);
  return 0;
}
