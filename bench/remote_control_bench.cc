// The remote control under load, on loopback.
//
// 1. GET RUN round trips per second from 1 and from 16 clients, each client a thread with one
//    connection that sends a line and waits for its reply: against the real velmora (headless,
//    service stopped) and against a minimal thread-per-connection line server written here (a
//    forked process that answers "0\r\n" to each line), in the same run and on the same cores.
//    Target: velmora / reference 0.5 or better.
// 2. The transparent port's highest rate without loss or reordering (as
// transparent_throughput_bench
//    finds it; loss and order judged at the receiver by sequence numbers) with 10,000 addresses in
//    the statistics, once alone and once while 16 remote clients each ask GET LISTIPSTAT once a
//    second. Target: at most 10 % below the rate without them.
//
// usage: remote_control_bench [--seconds S] [--runs N] [--sizes 100,1400]
//        (S: each round-trip measurement and each full throughput trial; defaults: 10 s, 3 runs,
//        100 and 1400 bytes)

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "loopback_tcp.h"
#include "throughput_trial.h"
#include "transparent_load.h"

namespace velmora::bench {
namespace {

constexpr const char* kUsage = "remote_control_bench [--seconds S] [--runs N] [--sizes 100,1400]";
constexpr double kRoundTripTarget = 0.5;
constexpr double kListingTarget = 0.9;
constexpr int kListers = 16;
constexpr uint32_t kAddresses = 10000;

// Reads from `fd` until `buffer` holds a CR LF; false when the connection ends first.
bool ReadReplyLine(int fd, std::string& buffer) {
  char block[65536];
  while (buffer.find("\r\n") == std::string::npos) {
    const ssize_t n = ::recv(fd, block, sizeof block, 0);
    if (n <= 0) return false;
    buffer.append(block, static_cast<size_t>(n));
  }
  return true;
}

// The reference: a listener and one thread per connection that answers "0\r\n" to every line,
// one send per line as velmora does. Runs in a forked child until it is ended.
void LineServerForever(int listener) {
  for (;;) {
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) continue;
    std::thread([fd] {
      char block[8192];
      for (ssize_t n; (n = ::recv(fd, block, sizeof block, 0)) > 0;) {
        for (ssize_t i = 0; i < n; ++i) {
          if (block[i] == '\n') ::send(fd, "0\r\n", 3, MSG_NOSIGNAL);
        }
      }
      ::close(fd);
    }).detach();
  }
}

// GET RUN round trips per second from `clients` connections over `seconds`.
double RoundTripsPerSecond(uint16_t port, int clients, double seconds) {
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> total{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&] {
      const int fd = Connect(port);
      std::string buffer;
      uint64_t count = 0;
      while (!stop && ::send(fd, "GET RUN\n", 8, MSG_NOSIGNAL) == 8 && ReadReplyLine(fd, buffer)) {
        buffer.erase(0, buffer.find("\r\n") + 2);
        ++count;
      }
      total += count;
      ::close(fd);
    });
  }
  const auto start = ThroughputClock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& thread : threads) thread.join();
  return static_cast<double>(total) /
         std::chrono::duration<double>(ThroughputClock::now() - start).count();
}

std::string RemoteGeneral(uint16_t port) {
  return "RemoteControlOn=1\nRemoteControlPort=" + std::to_string(port) +
         "\nRemoteControlBind=127.0.0.1\n";
}

void CompareRoundTrips(const ThroughputOptions& options) {
  std::printf("GET RUN round trips per second over %.0f s, best of %d\n", options.seconds,
              options.runs);
  for (const int clients : {1, 16}) {
    double velmora = 0, reference = 0;
    for (int run = 0; run < options.runs; ++run) {
      {
        const uint16_t port = FreeTcpPort();
        const RouterChild router("velmora_remote_bench",
                                 TransparentRouterIni(LoopbackUdp::FreePort(), 9,
                                                      RemoteGeneral(port) + "StartListening=0\n"));
        if (!AwaitServer(port)) std::exit(1);
        velmora = std::max(velmora, RoundTripsPerSecond(port, clients, options.seconds));
      }
      const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      const sockaddr_in at = LoopbackUdp::Loopback(0);
      ::bind(listener, reinterpret_cast<const sockaddr*>(&at), sizeof at);
      ::listen(listener, 64);
      const ForkedChild server([listener] { LineServerForever(listener); });
      reference =
          std::max(reference, RoundTripsPerSecond(PortOf(listener), clients, options.seconds));
      ::close(listener);
    }
    std::printf("%2d client(s): velmora %9.0f/s, reference %9.0f/s, ratio %.2f (target %.1f) %s\n",
                clients, velmora, reference, velmora / reference, kRoundTripTarget,
                velmora / reference >= kRoundTripTarget ? "met" : "MISSED");
    std::fflush(stdout);
  }
}

// Sixteen clients that each ask for the address list once a second and read it whole, on threads
// of their own until the object goes; counts the lists read.
class Listers {
 public:
  explicit Listers(uint16_t port) {
    for (int i = 0; i < kListers; ++i) {
      threads_.emplace_back([this, port] { List(port); });
    }
  }
  ~Listers() {
    stop_ = true;
    for (auto& thread : threads_) thread.join();
  }
  uint64_t lists() const { return lists_; }

 private:
  void List(uint16_t port) {
    const int fd = Connect(port);
    std::string buffer;
    while (!stop_) {
      if (::send(fd, "GET LISTIPSTAT\n", 15, MSG_NOSIGNAL) != 15 || !ReadReplyLine(fd, buffer)) {
        break;
      }
      // The count, then that many lines.
      const unsigned long count = std::stoul(buffer);
      buffer.erase(0, buffer.find("\r\n") + 2);
      for (unsigned long line = 0; line < count; ++line) {
        if (!ReadReplyLine(fd, buffer)) break;
        buffer.erase(0, buffer.find("\r\n") + 2);
      }
      ++lists_;
      for (int tenth = 0; tenth < 10 && !stop_; ++tenth) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    }
    ::close(fd);
  }

  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> lists_{0};
  std::vector<std::thread> threads_;
};

// How many addresses the router's statistics hold, by GET LISTIPSTAT's first line.
unsigned long ListedAddresses(uint16_t port) {
  const int fd = Connect(port);
  std::string buffer;
  unsigned long count = 0;
  if (fd >= 0 && ::send(fd, "GET LISTIPSTAT\n", 15, MSG_NOSIGNAL) == 15 &&
      ReadReplyLine(fd, buffer)) {
    count = std::stoul(buffer);
  }
  if (fd >= 0) ::close(fd);
  return count;
}

// The router relaying the transparent port with kAddresses addresses in its statistics (one
// datagram to each of 10.1.0.0 and on, sent slowly once the service runs, before the trials), and
// with or without the listing clients. Owned by the main thread.
class ListedRouterRelay final : public RelayUnderTest {
 public:
  ListedRouterRelay(size_t size, uint16_t receiver_port, bool listing)
      : transparent_port_(LoopbackUdp::FreePort()),
        remote_port_(FreeTcpPort()),
        relay_("velmora_remote_listing_bench",
               TransparentRouterIni(
                   transparent_port_, receiver_port,
                   RemoteGeneral(remote_port_) + "StatisticEnable=1\nStatisticFile=stat.log\n"),
               LoopbackUdp::Loopback(transparent_port_), TransparentDatagram(size)) {
    if (!AwaitServer(remote_port_)) std::exit(1);
    FillStatistics(size);
    if (listing) listers_ = std::make_unique<Listers>(remote_port_);
  }

  pid_t pid() const override { return relay_.pid(); }
  PacedSender& sender() override { return relay_.sender(); }
  std::string note() const override {
    return listers_ != nullptr ? ", " + std::to_string(listers_->lists()) + " lists read" : "";
  }

 private:
  void FillStatistics(size_t size) {
    LoopbackUdp socket;
    const sockaddr_in to = LoopbackUdp::Loopback(transparent_port_);
    for (int round = 0; round < 20 && ListedAddresses(remote_port_) < kAddresses; ++round) {
      for (uint32_t host = 0; host < kAddresses; ++host) {
        // Passed through unresolved (PID 0) and counted; sequence number 0, which no trial takes.
        const Bytes datagram = TransparentUdpDatagram(htonl(0xc0000201), htonl(0x0a010000 + host),
                                                      9, 0, Bytes(size - 8 - 42, 0));
        ::sendto(socket.fd(), datagram.data(), datagram.size(), 0,
                 reinterpret_cast<const sockaddr*>(&to), sizeof to);
        if (host % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    std::printf("  statistics hold %lu addresses\n", ListedAddresses(remote_port_));
  }

  uint16_t transparent_port_;
  uint16_t remote_port_;
  RouterRelay<LoopbackUdp> relay_;
  std::unique_ptr<Listers> listers_;
};

void CompareListing(const ThroughputOptions& options) {
  std::printf(
      "transparent port with %u addresses counted: highest rate without loss or "
      "reordering over %.0f s, best of %d\n",
      kAddresses, options.seconds, options.runs);
  for (const size_t size : options.sizes) {
    const auto relay = [](bool listing) -> RelayFactory {
      return [listing](size_t size, uint16_t receiver_port) {
        return std::make_unique<ListedRouterRelay>(size, receiver_port, listing);
      };
    };
    const Measurement alone = BestOf("velmora", size, size, relay(false), options);
    const Measurement listed = BestOf("velmora, 16 listing", size, size, relay(true), options);
    PrintBest("velmora", size, alone);
    PrintBest("velmora, 16 listing", size, listed);
    const double ratio = listed.rate / alone.rate;
    std::printf("%4zu bytes  with / without listing clients: %.2f (target %.1f) %s\n", size, ratio,
                kListingTarget, ratio >= kListingTarget ? "met" : "MISSED");
    std::fflush(stdout);
  }
}

}  // namespace
}  // namespace velmora::bench

int main(int argc, char** argv) {
  using namespace velmora::bench;
  ThroughputOptions options = ParseThroughputOptions(argc, argv, kUsage);
  CompareRoundTrips(options);
  CompareListing(options);
  return 0;
}
