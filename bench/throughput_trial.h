#pragma once

// What the throughput benchmarks share: loopback sockets, a paced batch sender, a receiver that
// counts datagrams and checks their order, the reference relay as a child process, one trial, the
// search for the highest clean rate, best of the runs, CPU time of a process, options and the
// printout. Every datagram carries its sequence number in its last 8 bytes.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "packet/inserter_datagram.h"
#include "platform/receive_buffer.h"
#include "router_child.h"

namespace velmora::bench {

using Bytes = std::vector<uint8_t>;
using ThroughputClock = std::chrono::steady_clock;

inline constexpr size_t kBatch = 64;          // what velmora's sources move per system call
inline constexpr size_t kSlotSize = 2048;     // room for the largest datagram of a trial
inline constexpr size_t kMinimumSize = 64;    // room for the headers and the sequence number
inline constexpr size_t kMaximumSize = 1472;  // one Ethernet MTU of UDP payload
inline constexpr double kTarget = 0.8;        // velmora / reference

// A UDP socket bound to 127.0.0.1 (`port` 0: any free port), closed with the object. Its receive
// buffer is the system's default until someone sizes it. Owned by whoever set it up.
class LoopbackUdp {
 public:
  explicit LoopbackUdp(uint16_t port = 0) : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    const sockaddr_in at = Loopback(port);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
      std::perror("bind");
      std::exit(1);
    }
  }
  ~LoopbackUdp() { ::close(fd_); }
  LoopbackUdp(const LoopbackUdp&) = delete;
  LoopbackUdp& operator=(const LoopbackUdp&) = delete;

  static sockaddr_in Loopback(uint16_t port) {
    return {.sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {htonl(INADDR_LOOPBACK)}};
  }
  // A port that was free a moment ago, for a server that binds it itself.
  static uint16_t FreePort() { return LoopbackUdp().port(); }

  int fd() const { return fd_; }
  uint16_t port() const { return PortOf(fd_); }
  void ConnectTo(uint16_t port) {
    const sockaddr_in at = Loopback(port);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
      std::perror("connect");
      std::exit(1);
    }
  }
  int ReceiveBufferSize() const {
    int size = 0;
    socklen_t length = sizeof size;
    ::getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, &length);
    return size;
  }

 private:
  int fd_;
};

inline void WriteSequence(std::span<uint8_t> datagram, uint64_t sequence) {
  std::memcpy(datagram.data() + datagram.size() - 8, &sequence, 8);
}

inline uint64_t ReadSequence(std::span<const uint8_t> datagram) {
  uint64_t sequence;
  std::memcpy(&sequence, datagram.data() + datagram.size() - 8, 8);
  return sequence;
}

// kBatch datagram slots with the iovecs and message headers of recvmmsg and sendmmsg. Used by
// the one thread that owns it.
class MessageBatch {
 public:
  MessageBatch() : slots_(kBatch * kSlotSize), iov_(kBatch), messages_(kBatch) {
    for (size_t i = 0; i < kBatch; ++i) {
      messages_[i].msg_hdr = {};
      messages_[i].msg_hdr.msg_iov = &iov_[i];
      messages_[i].msg_hdr.msg_iovlen = 1;
    }
  }
  MessageBatch(const MessageBatch&) = delete;
  MessageBatch& operator=(const MessageBatch&) = delete;

  uint8_t* slot(size_t i) { return &slots_[i * kSlotSize]; }
  std::span<uint8_t> received(size_t i, size_t at = 0) { return {slot(i) + at, length(i)}; }
  size_t length(size_t i) const { return messages_[i].msg_len; }
  // Message `i` sends or receives the `length` bytes at `data`.
  void Point(size_t i, uint8_t* data, size_t length) { iov_[i] = {data, length}; }
  // Messages go to `to` instead of the socket's peer.
  void Address(sockaddr_in& to) {
    for (mmsghdr& message : messages_) {
      message.msg_hdr.msg_name = &to;
      message.msg_hdr.msg_namelen = sizeof to;
    }
  }

  // At least one datagram, into each slot from byte `at` on; how many (-1: none came in time).
  int Receive(int fd, size_t at = 0) {
    for (size_t i = 0; i < kBatch; ++i) Point(i, slot(i) + at, kSlotSize - at);
    return ::recvmmsg(fd, messages_.data(), kBatch, MSG_WAITFORONE, nullptr);
  }
  // Messages 0..count-1 as they point; stops early only on an error.
  void Send(int fd, size_t count) {
    for (size_t done = 0; done < count;) {
      const int sent =
          ::sendmmsg(fd, messages_.data() + done, static_cast<unsigned>(count - done), 0);
      if (sent <= 0) return;
      done += static_cast<size_t>(sent);
    }
  }

 private:
  Bytes slots_;
  std::vector<iovec> iov_;
  std::vector<mmsghdr> messages_;
};

// Sends copies of one datagram to an address (a loopback port unless said otherwise), each with
// the next sequence number, in batches paced at a rate; between batches the thread sleeps so that
// it leaves the cores to the relay. Sequence numbers rise across trials, so that a late datagram
// of one trial is not taken for one of the next. Called by the benchmark's main thread; the
// socket is the caller's.
class PacedSender {
 public:
  PacedSender(int fd, uint16_t port, const Bytes& datagram)
      : PacedSender(fd, LoopbackUdp::Loopback(port), datagram) {}
  PacedSender(int fd, const sockaddr_in& to, const Bytes& datagram)
      : fd_(fd), to_(to), size_(datagram.size()) {
    batch_.Address(to_);
    for (size_t i = 0; i < kBatch; ++i) {
      std::memcpy(batch_.slot(i), datagram.data(), size_);
      batch_.Point(i, batch_.slot(i), size_);
    }
  }

  uint64_t next_sequence() const { return next_; }

  // `count` datagrams at `rate` per second, in batches of about 100 us of the rate (1 to kBatch
  // datagrams); returns the seconds the sending took.
  double SendPaced(uint64_t count, double rate) {
    const auto batch = std::clamp<size_t>(static_cast<size_t>(rate * 100e-6), 1, kBatch);
    const ThroughputClock::time_point start = ThroughputClock::now();
    for (uint64_t sent = 0; sent < count;) {
      const auto n = static_cast<size_t>(std::min<uint64_t>(batch, count - sent));
      for (size_t i = 0; i < n; ++i) WriteSequence({batch_.slot(i), size_}, next_++);
      std::this_thread::sleep_until(start + std::chrono::duration_cast<ThroughputClock::duration>(
                                                std::chrono::duration<double>(sent / rate)));
      batch_.Send(fd_, n);
      sent += n;
    }
    return std::chrono::duration<double>(ThroughputClock::now() - start).count();
  }

 private:
  int fd_;
  sockaddr_in to_;
  size_t size_;
  MessageBatch batch_;
  uint64_t next_ = 1;
};

// The far end of the relay: counts the datagrams of the current trial on its own thread, checks
// that their sequence numbers only rise and that each has the expected length. The main thread
// starts a trial with Expect and reads the counts.
class Receiver {
 public:
  explicit Receiver(size_t expected_length) : expected_length_(expected_length) {
    SizeReceiveBuffer(socket_.fd());
    timeval timeout{0, 100000};  // how often the thread looks at stop_
    ::setsockopt(socket_.fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    thread_ = std::thread([this] { Run(); });
  }
  ~Receiver() {
    stop_ = true;
    thread_.join();
  }

  uint16_t port() const { return socket_.port(); }
  // A new trial whose datagrams are numbered from `first`; earlier ones are ignored.
  void Expect(uint64_t first) {
    first_ = first;
    last_ = first - 1;
    received_ = disorder_ = wrong_length_ = 0;
  }
  uint64_t received() const { return received_; }
  uint64_t disorder() const { return disorder_; }
  uint64_t wrong_length() const { return wrong_length_; }
  // Every datagram so far, of any trial: whether the relay is still delivering.
  uint64_t arrivals() const { return arrivals_; }

 private:
  void Run() {
    MessageBatch batch;
    while (!stop_) {
      const int n = batch.Receive(socket_.fd());
      for (int i = 0; i < n; ++i) Count(batch.received(static_cast<size_t>(i)));
    }
  }
  void Count(std::span<const uint8_t> datagram) {
    arrivals_.fetch_add(1, std::memory_order_relaxed);
    if (datagram.size() < 8) return;
    const uint64_t sequence = ReadSequence(datagram);
    if (sequence < first_) return;
    if (datagram.size() != expected_length_) ++wrong_length_;
    if (sequence <= last_) ++disorder_;
    last_ = std::max(last_.load(), sequence);
    ++received_;
  }

  const size_t expected_length_;
  LoopbackUdp socket_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> first_{1}, last_{0}, received_{0}, disorder_{0}, wrong_length_{0};
  std::atomic<uint64_t> arrivals_{0};
  std::thread thread_;
};

// A child process of this program that runs `body` until it gets SIGTERM (also when this
// program dies); ended and reaped when the object goes. Owned by the main thread.
class ForkedChild {
 public:
  explicit ForkedChild(const std::function<void()>& body) {
    std::fflush(stdout);  // or the child would print what is buffered again
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      body();
      ::_exit(0);
    }
  }
  ~ForkedChild() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  ForkedChild(const ForkedChild&) = delete;
  ForkedChild& operator=(const ForkedChild&) = delete;

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_;
};

// User plus system CPU time of a process so far (all its threads), from /proc/<pid>/stat.
// User + system seconds of a /proc stat file's task (fields after the command name in
// parentheses: state is field 3, utime 14, stime 15), and that command name.
inline double StatCpuSeconds(const std::string& path, std::string* name = nullptr) {
  std::ifstream file(path);
  const std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const size_t open = stat.find('('), close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos) return 0;
  if (name) *name = stat.substr(open + 1, close - open - 1);
  std::istringstream fields(stat.substr(close + 2));
  std::string skipped;
  for (int field = 3; field < 14; ++field) fields >> skipped;
  double user_ticks = 0, system_ticks = 0;
  fields >> user_ticks >> system_ticks;
  return (user_ticks + system_ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

inline double ProcessCpuSeconds(pid_t pid) {
  return StatCpuSeconds("/proc/" + std::to_string(pid) + "/stat");
}

// CPU seconds of a process by thread name (threads of one name added up).
using ThreadCpu = std::map<std::string, double>;
inline ThreadCpu ThreadCpuSeconds(pid_t pid) {
  ThreadCpu by_name;
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
    std::string name;
    const double seconds = StatCpuSeconds(task.path() / "stat", &name);
    by_name[name] += seconds;
  }
  return by_name;
}

inline ThreadCpu operator-(ThreadCpu after, const ThreadCpu& before) {
  for (const auto& [name, seconds] : before) after[name] -= seconds;
  return after;
}

// The reference relay's loop, for a forked child: batches of up to kBatch datagrams from `in`,
// each received into its slot from byte `receive_at` on, then `forward(slot, length)` says what
// of the slot to send (empty: nothing), and the batch goes to `out`'s peer in one call.
template <typename Forward>
[[noreturn]] void RelayForever(int in, int out, size_t receive_at, Forward forward) {
  MessageBatch batch;
  for (;;) {
    const int n = batch.Receive(in, receive_at);
    size_t outgoing = 0;
    for (int i = 0; i < n; ++i) {
      const auto slot = static_cast<size_t>(i);
      const std::span<uint8_t> send = forward(batch.slot(slot), batch.length(slot));
      if (!send.empty()) batch.Point(outgoing++, send.data(), send.size());
    }
    batch.Send(out, outgoing);
  }
}

// A relay set up for one run with the sender that feeds it: the process whose CPU time counts.
// Owned by the main thread.
class RelayUnderTest {
 public:
  virtual ~RelayUnderTest() = default;
  virtual pid_t pid() const = 0;
  virtual PacedSender& sender() = 0;
  // What the run's printout says about the relay besides its figures.
  virtual std::string note() const { return {}; }
};

// The real router as the relay for one run, with the given velmora.ini, fed by a sender of its
// own that sends from a `Socket` (anything with fd()) to `to`. Owned by the main thread.
template <typename Socket>
class RouterRelay final : public RelayUnderTest {
 public:
  RouterRelay(const std::string& name, const std::string& ini, const sockaddr_in& to,
              const Bytes& datagram)
      : router_(name, ini), sender_(sending_.fd(), to, datagram) {}

  pid_t pid() const override { return router_.pid(); }
  PacedSender& sender() override { return sender_; }

 private:
  RouterChild router_;
  Socket sending_;
  PacedSender sender_;
};

// Sets up a relay for one run with datagrams of `size`, towards the receiver at the given port.
using RelayFactory =
    std::function<std::unique_ptr<RelayUnderTest>(size_t size, uint16_t receiver_port)>;

// Whether the reference relay sizes its receive buffer as velmora does or keeps the default.
enum class ReferenceBuffer { kAsVelmora, kSystemDefault };

// The reference relay for one run: a forked child that moves datagrams from its receiving socket
// to the receiver with RelayForever, fed by a sender of its own. Owned by the main thread.
class ReferenceRelay final : public RelayUnderTest {
 public:
  template <typename Forward>
  ReferenceRelay(ReferenceBuffer buffer, uint16_t receiver_port, const Bytes& datagram,
                 size_t receive_at, Forward forward)
      : receiving_(), outgoing_(), sending_(), sender_(sending_.fd(), receiving_.port(), datagram) {
    if (buffer == ReferenceBuffer::kAsVelmora) SizeReceiveBuffer(receiving_.fd());
    outgoing_.ConnectTo(receiver_port);
    child_ = std::make_unique<ForkedChild>(
        [&] { RelayForever(receiving_.fd(), outgoing_.fd(), receive_at, forward); });
  }

  pid_t pid() const override { return child_->pid(); }
  PacedSender& sender() override { return sender_; }
  std::string note() const override {
    return ", receive buffer " + std::to_string(receiving_.ReceiveBufferSize()) + " bytes";
  }

 private:
  LoopbackUdp receiving_, outgoing_, sending_;
  PacedSender sender_;
  std::unique_ptr<ForkedChild> child_;
};

// One trial: what was offered, what arrived, and the relay's CPU time meanwhile.
struct Trial {
  uint64_t offered = 0, received = 0, disorder = 0, wrong_length = 0;
  double rate = 0;  // datagrams per second as actually offered
  double cpu_seconds = 0;
  ThreadCpu thread_cpu;  // by thread name
  bool clean() const { return received == offered && disorder == 0 && wrong_length == 0; }
};

// Waits until every datagram arrived or the receiver heard nothing for 200 ms (at most 10 s), so
// that the next trial starts with the relay's queues empty.
inline void AwaitArrivals(const Receiver& receiver, uint64_t count) {
  using std::chrono::milliseconds;
  const ThroughputClock::time_point give_up = ThroughputClock::now() + std::chrono::seconds(10);
  uint64_t heard = receiver.arrivals();
  ThroughputClock::time_point last_heard = ThroughputClock::now();
  while (receiver.received() < count && ThroughputClock::now() < give_up &&
         ThroughputClock::now() - last_heard < milliseconds(200)) {
    std::this_thread::sleep_for(milliseconds(5));
    if (receiver.arrivals() != heard) {
      heard = receiver.arrivals();
      last_heard = ThroughputClock::now();
    }
  }
}

inline Trial RunTrial(RelayUnderTest& relay, Receiver& receiver, double rate, double seconds) {
  Trial trial;
  trial.offered = std::max<uint64_t>(1, static_cast<uint64_t>(rate * seconds));
  receiver.Expect(relay.sender().next_sequence());
  const double cpu_before = ProcessCpuSeconds(relay.pid());
  const ThreadCpu threads_before = ThreadCpuSeconds(relay.pid());
  trial.rate = static_cast<double>(trial.offered) / relay.sender().SendPaced(trial.offered, rate);
  AwaitArrivals(receiver, trial.offered);
  trial.cpu_seconds = ProcessCpuSeconds(relay.pid()) - cpu_before;
  trial.thread_cpu = ThreadCpuSeconds(relay.pid()) - threads_before;
  trial.received = receiver.received();
  trial.disorder = receiver.disorder();
  trial.wrong_length = receiver.wrong_length();
  return trial;
}

// Waits until the relay forwards (velmora opens its sockets a moment after its start).
inline bool WaitForRelay(RelayUnderTest& relay, Receiver& receiver) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (RunTrial(relay, receiver, 1000, 0).received > 0) return true;
  }
  return false;
}

// The highest clean rate of one run and the relay's CPU time per datagram in that trial.
struct Measurement {
  double rate = 0;  // datagrams per second
  double cpu_per_datagram = 0;
  ThreadCpu thread_cpu_per_datagram;  // by thread name
};

// Trials of at most 1 s from 20,000 datagrams/s, doubling the rate while they are clean or
// halving it while they are not, until one rate is clean and another not (or 4,000,000 is clean);
// bisection between the two; then the full trial time at the clean rate, stepping down by 5 %
// until a trial is clean. No rate at all when nothing down to 1,000 datagrams/s is clean.
inline Measurement MaxCleanRate(RelayUnderTest& relay, Receiver& receiver, double seconds) {
  const double probe_seconds = std::min(seconds, 1.0);
  double good = 0, bad = 0;
  for (double rate = 20000; (good == 0 || bad == 0) && rate >= 1000 && rate <= 4e6;) {
    if (RunTrial(relay, receiver, rate, probe_seconds).clean()) {
      good = rate, rate *= 2;
    } else {
      bad = rate, rate /= 2;
    }
  }
  if (good == 0) return {};
  if (bad == 0) bad = good * 2;
  for (int step = 0; step < 5; ++step) {
    const double middle = (good + bad) / 2;
    (RunTrial(relay, receiver, middle, probe_seconds).clean() ? good : bad) = middle;
  }
  for (int step = 0; step < 20; ++step, good *= 0.95) {
    const Trial trial = RunTrial(relay, receiver, good, seconds);
    if (!trial.clean()) continue;
    const auto received = static_cast<double>(trial.received);
    Measurement measured{trial.rate, trial.cpu_seconds / received, trial.thread_cpu};
    for (auto& [name, seconds] : measured.thread_cpu_per_datagram) seconds /= received;
    return measured;
  }
  return {};
}

// The command line of both benchmarks.
struct ThroughputOptions {
  double seconds = 10;  // of the full-length trial
  int runs = 3;
  std::vector<size_t> sizes = {100, 1400};
};

inline std::vector<size_t> ParseSizes(const std::string& text) {
  std::vector<size_t> sizes;
  std::istringstream list(text);
  for (std::string item; std::getline(list, item, ',');) {
    const auto size = static_cast<size_t>(std::atol(item.c_str()));
    if (size < kMinimumSize || size > kMaximumSize) return {};
    sizes.push_back(size);
  }
  return sizes;
}

inline ThroughputOptions ParseThroughputOptions(int argc, char** argv, const char* usage) {
  ThroughputOptions options;
  bool valid = argc % 2 == 1;
  for (int i = 1; valid && i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--seconds") {
      options.seconds = std::atof(argv[i + 1]);
    } else if (name == "--runs") {
      options.runs = std::atoi(argv[i + 1]);
    } else if (name == "--sizes") {
      options.sizes = ParseSizes(argv[i + 1]);
    } else {
      valid = false;
    }
  }
  if (!valid || options.seconds <= 0 || options.runs < 1 || options.sizes.empty()) {
    std::fprintf(stderr, "usage: %s\n  sizes from %zu to %zu bytes\n", usage, kMinimumSize,
                 kMaximumSize);
    std::exit(2);
  }
  ::prctl(PR_SET_TIMERSLACK, 1);  // the sender's sleeps end on time
  return options;
}

// The options of a benchmark that runs in network namespaces of its own; none when
// `unavailable` says why it cannot make them here, which is printed: it measures nothing then.
// Ends the program when `set_up` cannot make them.
inline std::optional<ThroughputOptions> NamespaceBenchmarkOptions(
    int argc, char** argv, const char* usage, const std::string& unavailable,
    const std::function<bool()>& set_up) {
  const ThroughputOptions options = ParseThroughputOptions(argc, argv, usage);
  const std::string name = std::filesystem::path(argv[0]).filename();
  if (!unavailable.empty()) {
    std::printf("%s %s; nothing measured\n", name.c_str(), unavailable.c_str());
    return std::nullopt;
  }
  if (!set_up()) {
    std::fprintf(stderr, "%s: its network namespaces could not be set up\n", name.c_str());
    std::exit(1);
  }
  return options;
}

// The best of `runs` runs, each with a new relay, receiver and search, every run printed.
inline Measurement BestOf(const char* name, size_t size, size_t delivered_length,
                          const RelayFactory& make_relay, const ThroughputOptions& options) {
  Measurement best;
  for (int run = 1; run <= options.runs; ++run) {
    Receiver receiver(delivered_length);
    const std::unique_ptr<RelayUnderTest> relay = make_relay(size, receiver.port());
    if (!WaitForRelay(*relay, receiver)) {
      std::fprintf(stderr, "%s never forwarded\n", name);
      std::exit(1);
    }
    const Measurement measured = MaxCleanRate(*relay, receiver, options.seconds);
    std::printf("  %-26s %4zu bytes, run %d: %9.0f datagrams/s, %6.3f us CPU per datagram%s\n",
                name, size, run, measured.rate, measured.cpu_per_datagram * 1e6,
                relay->note().c_str());
    std::fflush(stdout);
    if (measured.rate > best.rate) best = measured;
  }
  return best;
}

inline void PrintBest(const char* name, size_t size, const Measurement& best) {
  std::printf("%4zu bytes  %-26s %9.0f datagrams/s %8.1f Mbit/s %7.3f us CPU per datagram\n", size,
              name, best.rate, best.rate * static_cast<double>(size) * 8 / 1e6,
              best.cpu_per_datagram * 1e6);
}

// What each of the router's threads does with a datagram, by thread name.
inline const char* ThreadWork(const std::string& name) {
  if (name == "transparent") return "receive, resolution, hand-over";
  if (name == "l2tp-lns") return "receive, L2TP and PPP, resolution, hand-over";
  if (name == "corvid-frame") return "read from the TAP, decoding, hand-over";
  if (name == "corvid-arp") return "ARP answers";
  if (name == "pylon-port") return "take from the capture, decoding, hand-over";
  if (name == "pylon-arp" || name == "pylon-ipv6") return "ARP or IPv6 frames";
  if (name == "sending") return "take from the queue, send";
  return "other";
}

// A part of the router's work on one datagram, timed in this process.
struct StageCost {
  std::string name;
  double seconds = 0;  // per datagram
};
// The parts timed for a datagram size.
using StageCosts = std::function<std::vector<StageCost>(size_t size)>;

inline void PrintRatio(size_t size, const char* relay_name, const Measurement& velmora,
                       const char* reference_name, const Measurement& reference,
                       const StageCosts& stage_costs) {
  const double ratio = reference.rate > 0 ? velmora.rate / reference.rate : 0;
  std::printf("%4zu bytes  %s / %s: %.2f, target %.1f: %s\n", size, relay_name, reference_name,
              ratio, kTarget, ratio >= kTarget ? "met" : "NOT met");
  if (ratio < kTarget) {
    std::printf("%4zu bytes  where %s's CPU time goes, per datagram:", size, relay_name);
    for (const auto& [name, seconds] : velmora.thread_cpu_per_datagram) {
      if (seconds > 0)
        std::printf(" %s (%s) %.3f us;", name.c_str(), ThreadWork(name), seconds * 1e6);
    }
    std::printf("\n%4zu bytes  of which %s's own work, timed in this process:", size, relay_name);
    for (const StageCost& cost : stage_costs(size)) {
      std::printf(" %s %.3f us;", cost.name.c_str(), cost.seconds * 1e6);
    }
    std::printf(" the rest is system calls (receive, send) and wake-ups\n");
  }
  std::fflush(stdout);
}

// A relay of a comparison, by the name it is printed with.
struct Contender {
  const char* name;
  RelayFactory relay;
};

// The best of every contender, in the contenders' order, by datagram size.
using BestBySize = std::map<size_t, std::vector<Measurement>>;

// For each size of the options the best of the runs of every contender, their figures and the
// ratio of the first (velmora) to the second (the reference with the same receive buffer), with
// `stage_costs` where the target is missed. `added_bytes`: what the relays put in front of each
// datagram on its way.
inline BestBySize CompareRelays(const ThroughputOptions& options, const char* title,
                                size_t added_bytes, const std::vector<Contender>& contenders,
                                const StageCosts& stage_costs) {
  std::printf("%s: highest rate without loss or reordering over %.0f s, best of %d\n", title,
              options.seconds, options.runs);
  BestBySize best_by_size;
  for (const size_t size : options.sizes) {
    std::vector<Measurement>& best = best_by_size[size];
    best.reserve(contenders.size());
    for (const Contender& contender : contenders) {
      best.push_back(BestOf(contender.name, size, size + added_bytes, contender.relay, options));
    }
    for (size_t i = 0; i < contenders.size(); ++i) PrintBest(contenders[i].name, size, best[i]);
    PrintRatio(size, contenders[0].name, best[0], contenders[1].name, best[1], stage_costs);
  }
  return best_by_size;
}

// A benchmark's whole run: its options from the command line, then the comparison above.
inline int CompareRelays(int argc, char** argv, const char* usage, const char* title,
                         size_t added_bytes, const std::vector<Contender>& contenders,
                         const StageCosts& stage_costs) {
  CompareRelays(ParseThroughputOptions(argc, argv, usage), title, added_bytes, contenders,
                stage_costs);
  return 0;
}

// The load of the benchmarks whose datagrams the kernel routes out of a network interface: UDP
// to port kLoadPort of a host behind it, each relayed frame behind the 8-byte inserter header.
inline constexpr size_t kEthernetHeader = 14;
inline constexpr size_t kIpUdpHeaders = 28;
inline constexpr uint16_t kLoadPort = 9000;  // above the sources' low-port filter
// velmora's UDP sockets, its sending socket among them, get this receive buffer and keep the
// system's send buffer (platform/udp_socket.cc); a reference's sending socket is made alike.
inline constexpr int kUdpSocketReceiveBuffer = 65536;

inline sockaddr_in HostAddress(const std::string& dotted) {
  sockaddr_in to{.sin_family = AF_INET, .sin_port = htons(kLoadPort), .sin_addr = {}};
  ::inet_pton(AF_INET, dotted.c_str(), &to.sin_addr);
  return to;
}

// The UDP payload that makes an IPv4 packet of `size` bytes.
inline Bytes LoadPayload(size_t size) {
  return Bytes(size - kIpUdpHeaders, 0x5a);
}

// A UDP socket for datagrams that the kernel routes out of an interface, with don't-fragment
// off. Closed with the object; owned by whoever made it.
class RoutedUdp {
 public:
  RoutedUdp() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    const int dont = IP_PMTUDISC_DONT;
    ::setsockopt(fd_, IPPROTO_IP, IP_MTU_DISCOVER, &dont, sizeof dont);
  }
  ~RoutedUdp() { ::close(fd_); }
  RoutedUdp(const RoutedUdp&) = delete;
  RoutedUdp& operator=(const RoutedUdp&) = delete;

  int fd() const { return fd_; }

 private:
  int fd_;
};

// The 8-byte inserter header in front of the frame that follows it in `slot`: the frame's IPv4
// destination, ",", the PID, ",".
inline void WriteInserterHeader(uint8_t* slot, uint16_t pid) {
  std::memcpy(slot, slot + kQosHeaderSize + frame::kIpv4Destination, 4);
  slot[4] = slot[7] = ',';
  slot[5] = static_cast<uint8_t>(pid >> 8);
  slot[6] = static_cast<uint8_t>(pid);
}

}  // namespace velmora::bench
