// End-to-end throughput of the transparent port: a paced sender -> relay -> a receiver, all on
// loopback, for datagrams of 100 and 1400 bytes. The relay is either the real velmora (transparent
// port, no bandwidth management, each datagram resolved from its tables) or a minimal reference
// written here (one thread, recvmmsg/sendmmsg, no processing). Both receive with the same socket
// buffer as velmora's UDP sockets. For each, the highest offered rate that arrives complete and in
// order over the full trial time is found (best of the runs), and the ratio velmora/reference is
// printed. Loss and order are judged by the sequence number at the end of each datagram.
//
// usage: transparent_throughput_bench [--seconds S] [--runs N]   (defaults 10 and 3)

#include <arpa/inet.h>
#include <signal.h>
#include <sys/prctl.h>
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
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "router_child.h"
#include "traffic/udp_frame.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::duration;
using velmora::bench::PortOf;
using velmora::bench::RouterChild;

constexpr int kRelayReceiveBuffer = 65536;  // what velmora's UDP sockets ask for
constexpr int kEndBuffer = 8 << 20;
constexpr size_t kBatch = 32;

int UdpSocket(uint16_t port, int receive_buffer) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kEndBuffer, sizeof kEndBuffer);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(port);
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
    std::perror("bind");
    std::exit(1);
  }
  timeval timeout{0, 100000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  return fd;
}

void ConnectTo(int fd, uint16_t port) {
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(port);
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
}

// The receiving end: counts datagrams and checks that their sequence numbers only rise.
class Receiver {
 public:
  Receiver() : fd_(UdpSocket(0, kEndBuffer)), thread_([this] { Run(); }) {}
  ~Receiver() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  uint16_t port() const { return PortOf(fd_); }
  void Reset() {
    received_ = 0;
    last_ = 0;
    disorder_ = 0;
  }
  uint64_t received() const { return received_; }
  uint64_t disorder() const { return disorder_; }

 private:
  void Run() {
    std::vector<std::vector<uint8_t>> buffers(kBatch, std::vector<uint8_t>(2048));
    std::vector<iovec> iov(kBatch);
    std::vector<mmsghdr> messages(kBatch);
    for (size_t i = 0; i < kBatch; ++i) {
      iov[i] = {buffers[i].data(), buffers[i].size()};
      messages[i].msg_hdr = {};
      messages[i].msg_hdr.msg_iov = &iov[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    while (!stop_) {
      const int n = ::recvmmsg(fd_, messages.data(), kBatch, MSG_WAITFORONE, nullptr);
      for (int i = 0; i < n; ++i) {
        const size_t length = messages[i].msg_len;
        if (length < 8) continue;
        uint64_t sequence;
        std::memcpy(&sequence, buffers[i].data() + length - 8, 8);
        if (sequence != 0 && sequence <= last_) ++disorder_;  // 0: a probe
        last_ = std::max(last_.load(), sequence);
        ++received_;
      }
    }
  }

  int fd_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> received_{0}, last_{0}, disorder_{0};
  std::thread thread_;
};

// The minimal relay: one thread, batches in and out, nothing looked at.
class ReferenceRelay {
 public:
  ReferenceRelay(uint16_t in_port, uint16_t out_port)
      : in_(UdpSocket(in_port, kRelayReceiveBuffer)), out_(UdpSocket(0, kRelayReceiveBuffer)) {
    ConnectTo(out_, out_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~ReferenceRelay() {
    stop_ = true;
    thread_.join();
    ::close(in_);
    ::close(out_);
  }

 private:
  void Run() {
    std::vector<std::vector<uint8_t>> buffers(kBatch, std::vector<uint8_t>(16384));
    std::vector<iovec> iov(kBatch);
    std::vector<mmsghdr> messages(kBatch);
    while (!stop_) {
      for (size_t i = 0; i < kBatch; ++i) {
        iov[i] = {buffers[i].data(), buffers[i].size()};
        messages[i].msg_hdr = {};
        messages[i].msg_hdr.msg_iov = &iov[i];
        messages[i].msg_hdr.msg_iovlen = 1;
      }
      const int n = ::recvmmsg(in_, messages.data(), kBatch, MSG_WAITFORONE, nullptr);
      if (n <= 0) continue;
      for (int i = 0; i < n; ++i) iov[i].iov_len = messages[i].msg_len;
      int sent = 0;
      while (sent < n) {
        const int s = ::sendmmsg(out_, messages.data() + sent, static_cast<unsigned>(n - sent), 0);
        if (s <= 0) break;
        sent += s;
      }
    }
  }

  int in_, out_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The real router, its transparent port at `in_port`, its inserter at `out_port`; the datagrams
// are resolved through a subnet and an IP/MAC row.
std::unique_ptr<RouterChild> VelmoraRelay(uint16_t in_port, uint16_t out_port) {
  return std::make_unique<RouterChild>(
      "velmora_bench",
      "[GENERAL]\nRemoteControlOn=0\nPylonEnable=0\nLogOn=0\nLogLevel=1\nInserterIP=127.0.0."
      "1\nInserterPort=" +
          std::to_string(out_port) +
          "\nTransparentEnable=1\nL2tpEnable=0\nTransparentPort=" + std::to_string(in_port) +
          "\n[NETWORKS]\nAlias=\"Bench\", IPSubNetAddr=10.0.0.0, IPSubNetMask=255.0.0.0, "
          "IPSubNetMAC=\"SubNet_001\", IPSubNetPID=291\n[SubNet_001]\n"
          "10.0.0.5 00-11-22-33-44-55\n");
}

// Sends datagrams paced at a rate, in batches, each with its sequence number in its last 8 bytes.
class Sender {
 public:
  Sender(uint16_t relay_port, size_t size) : fd_(UdpSocket(0, kEndBuffer)) {
    ConnectTo(fd_, relay_port);
    const std::vector<uint8_t> payload(size - 8 - 42, 0x5a);
    datagram_ =
        velmora::TransparentUdpDatagram(htonl(0xc0000201), htonl(0x0a000005), 9, 1, payload);
  }
  ~Sender() { ::close(fd_); }

  void Send(uint64_t sequence) {
    std::memcpy(datagram_.data() + datagram_.size() - 8, &sequence, 8);
    ::send(fd_, datagram_.data(), datagram_.size(), 0);
  }
  // `count` datagrams from sequence 1 at `rate` per second, in batches about 100 us apart, the
  // thread asleep in between so that it leaves the cores to the relay.
  void SendPaced(uint64_t count, double rate) {
    const auto batch = std::clamp<size_t>(static_cast<size_t>(rate * 100e-6), 1, kBatch);
    std::vector<std::vector<uint8_t>> copies(kBatch, datagram_);
    std::vector<iovec> iov(kBatch);
    std::vector<mmsghdr> messages(kBatch);
    const Clock::time_point start = Clock::now();
    for (uint64_t sent = 0; sent < count;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(batch, count - sent));
      for (size_t i = 0; i < n; ++i) {
        const uint64_t sequence = sent + i + 1;
        std::memcpy(copies[i].data() + copies[i].size() - 8, &sequence, 8);
        iov[i] = {copies[i].data(), copies[i].size()};
        messages[i].msg_hdr = {};
        messages[i].msg_hdr.msg_iov = &iov[i];
        messages[i].msg_hdr.msg_iovlen = 1;
      }
      const Clock::time_point due =
          start + std::chrono::duration_cast<Clock::duration>(duration<double>(sent / rate));
      std::this_thread::sleep_until(due);
      size_t done = 0;
      while (done < n) {
        const int s = ::sendmmsg(fd_, messages.data() + done, static_cast<unsigned>(n - done), 0);
        if (s <= 0) break;
        done += static_cast<size_t>(s);
      }
      sent += n;
    }
  }

 private:
  int fd_;
  std::vector<uint8_t> datagram_;
};

struct Trial {
  bool clean = false;
  uint64_t lost = 0, disorder = 0;
};

Trial RunTrial(Sender& sender, Receiver& receiver, double rate, double seconds) {
  receiver.Reset();
  const auto count = static_cast<uint64_t>(rate * seconds);
  sender.SendPaced(count, rate);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(500);
  while (receiver.received() < count && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  Trial t;
  t.lost = count - std::min(count, receiver.received());
  t.disorder = receiver.disorder();
  t.clean = t.lost == 0 && t.disorder == 0;
  return t;
}

// Waits until the relay forwards (velmora binds its port a moment after its start).
bool WaitForRelay(Sender& sender, Receiver& receiver) {
  for (int i = 0; i < 300; ++i) {
    receiver.Reset();
    sender.Send(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (receiver.received() > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      return true;
    }
  }
  return false;
}

// The highest clean rate: doubling and bisection with short trials, then the full trial time at
// the candidate, stepping down by 5 % until one is clean.
double MaxCleanRate(Sender& sender, Receiver& receiver, double seconds) {
  const double probe_seconds = std::min(seconds, 1.0);
  double good = 0, bad = 0, rate = 20000;
  while (bad == 0 && rate <= 4e6) {
    if (RunTrial(sender, receiver, rate, probe_seconds).clean) {
      good = rate;
      rate *= 2;
    } else {
      bad = rate;
    }
  }
  if (bad == 0) bad = rate;
  for (int step = 0; step < 5 && good > 0; ++step) {
    const double middle = (good + bad) / 2;
    (RunTrial(sender, receiver, middle, probe_seconds).clean ? good : bad) = middle;
  }
  if (good == 0) good = 10000;
  for (int step = 0; step < 20; ++step, good *= 0.95) {
    if (RunTrial(sender, receiver, good, seconds).clean) return good;
  }
  return 0;
}

double Measure(bool velmora, size_t size, double seconds, int runs) {
  double best = 0;
  for (int run = 0; run < runs; ++run) {
    Receiver receiver;
    const uint16_t relay_port = [] {
      const int fd = UdpSocket(0, kRelayReceiveBuffer);
      const uint16_t port = PortOf(fd);
      ::close(fd);
      return port;
    }();
    std::unique_ptr<ReferenceRelay> reference;
    std::unique_ptr<RouterChild> router;
    if (velmora) {
      router = VelmoraRelay(relay_port, receiver.port());
    } else {
      reference = std::make_unique<ReferenceRelay>(relay_port, receiver.port());
    }
    Sender sender(relay_port, size);
    if (!WaitForRelay(sender, receiver)) {
      std::fprintf(stderr, "the relay never forwarded\n");
      std::exit(1);
    }
    const double rate = MaxCleanRate(sender, receiver, seconds);
    std::printf("  %-9s %4zu bytes, run %d: %9.0f datagrams/s\n", velmora ? "velmora" : "reference",
                size, run + 1, rate);
    std::fflush(stdout);
    best = std::max(best, rate);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  prctl(PR_SET_TIMERSLACK, 1);  // the sender's sleeps end on time
  double seconds = 10;
  int runs = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
  }
  std::printf("highest rate without loss or reordering over %.0f s, best of %d\n", seconds, runs);
  for (const size_t size : {size_t{100}, size_t{1400}}) {
    const double reference = Measure(false, size, seconds, runs);
    const double velmora = Measure(true, size, seconds, runs);
    std::printf(
        "%4zu bytes: reference %9.0f datagrams/s (%7.1f Mbit/s), velmora %9.0f datagrams/s "
        "(%7.1f Mbit/s), velmora/reference %.2f\n",
        size, reference, reference * size * 8 / 1e6, velmora, velmora * size * 8 / 1e6,
        reference > 0 ? velmora / reference : 0);
    std::fflush(stdout);
  }
  return 0;
}
