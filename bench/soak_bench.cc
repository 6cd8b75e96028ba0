// Soak run of the real router: velmora runs headless on loopback for a given time with its
// transparent port, its L2TP server, bandwidth management and the statistic file all on, while
// - a paced sender offers the transparent port a steady stream (100-byte datagrams),
// - several L2TP users, each on a call of its own, log in (SCCRQ..ICCN, LCP, CHAP, IPCP), send
//   paced IPv4 packets for a while, stop, wait until all of them have arrived, hang up (CDN, then
//   the server's StopCCN) and log in again, for the whole run,
// - the user profiles allow every address at least twice what it is offered, so that shaping
//   drops nothing by design, and the router keeps its statistic file (rewritten every 62 s).
// A UDP socket of this program stands for the inserter. Every datagram ends with its stream (the
// transparent stream, or one user's session) and its sequence number in that stream; the receiver
// counts, per stream, what arrived and what came out of order, so that a datagram is lost when it
// was sent and never arrived. After a warm-up (10 s, or a fifth of a shorter run), at every
// interval and at the end the benchmark prints the router's resident memory (VmRSS), its open
// descriptors and threads, the datagrams sent, received, lost and out of order, the logins, the
// datagrams the router's own sockets dropped unread and the age of the statistic file; at the end
// a verdict: whether memory (beyond 1 MiB), descriptors or threads grew from the warm-up's end to
// the end, and whether any datagram was lost or reordered (exit status 1 then).
//
//   soak_bench [--seconds 600] [--rate 2000] [--users 8] [--interval 60] [--session 5]
//              [--user-rate 100]
//
// --rate: transparent datagrams per second; --session: seconds a user sends per login;
// --user-rate: packets per second of each logged-in user.

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/receive_buffer.h"
#include "ppp_user.h"
#include "router_child.h"
#include "scripted_lac.h"
#include "traffic/udp_frame.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::duration;
using std::chrono::milliseconds;
using velmora::bench::FreeLoopbackPorts;
using velmora::bench::PortOf;
using velmora::bench::PppUser;
using velmora::bench::RouterChild;
using velmora::bench::ScriptedLac;
using velmora::bench::UdpSocketDrops;
using velmora::bench::UserName;
using velmora::bench::UserPassword;

constexpr size_t kTransparentBytes = 100;  // a whole transparent datagram, as the inserter gets it
constexpr size_t kUserPacketBytes = 100;   // a user's IPv4 packet; the router adds 22 bytes
constexpr size_t kDeliveryHeader = 22;
constexpr auto kBatchPeriod = milliseconds(1);
constexpr int kCatchUpBatches = 2;  // how far the transparent sender catches up when it is late
constexpr auto kDrainLimit = std::chrono::seconds(2);
constexpr auto kWarmUpLimit = std::chrono::seconds(10);
constexpr long kMemoryToleranceKiB = 1024;
constexpr uint32_t kProbeStream = UINT32_MAX;
constexpr char kStatisticFile[] = "soak_stat.log";

// Bandwidth management: the physical bandwidth, all of it in two profiles.
constexpr uint32_t kPhysical = 15'000'000;
constexpr uint32_t kStreamShare = 8'000'000;  // the transparent stream's address: summary, maximum
constexpr uint32_t kStreamGuarantee = 2'000'000;
constexpr uint32_t kUsersShare = kPhysical - kStreamShare;  // every user address together
constexpr uint32_t kUserMaximum = 1'000'000;

// The command line's choices (see the usage line at the top).
struct Options {
  double seconds = 600;
  double rate = 2000;
  int users = 8;
  double interval = 60;
  double session = 5;
  double user_rate = 100;
};

// The end of every datagram measured: its stream (4 bytes), then its sequence number in that
// stream (8 bytes, so that no stream of a run of days wraps).
struct Label {
  static constexpr size_t kBytes = 12;

  uint32_t stream;
  uint64_t sequence;
};

void PutLabel(std::vector<uint8_t>& bytes, Label label) {
  uint8_t* at = bytes.data() + bytes.size() - Label::kBytes;
  std::memcpy(at, &label.stream, sizeof label.stream);
  std::memcpy(at + sizeof label.stream, &label.sequence, sizeof label.sequence);
}

Label LabelBefore(const uint8_t* end) {
  Label label;
  std::memcpy(&label.stream, end - Label::kBytes, sizeof label.stream);
  std::memcpy(&label.sequence, end - Label::kBytes + sizeof label.stream, sizeof label.sequence);
  return label;
}

// What became of the datagrams of all streams. Each stream's sender counts what it sent, the
// receiving thread what arrived; the main thread sums. One lock over all.
class StreamLedger {
 public:
  struct Totals {
    uint64_t sent = 0, received = 0, lost = 0, out_of_order = 0;
    uint64_t strays = 0;  // without a label, or with one that names no stream of this run
  };

  uint32_t Open() {
    const std::lock_guard lock(mutex_);
    streams_.emplace_back();
    return static_cast<uint32_t>(streams_.size() - 1);
  }
  void CountSent(uint32_t stream, uint64_t count) {
    const std::lock_guard lock(mutex_);
    streams_[stream].sent += count;
  }
  void CountReceived(Label label) {
    const std::lock_guard lock(mutex_);
    if (label.stream == kProbeStream) {
      ++probes_;
    } else if (label.stream < streams_.size()) {
      Arrived(streams_[label.stream], label.sequence);
    } else {
      ++strays_;
    }
  }
  void CountStray() {
    const std::lock_guard lock(mutex_);
    ++strays_;
  }
  // Waits until every datagram sent in `stream` has arrived or kDrainLimit has passed; what has
  // not arrived by then is lost.
  void CloseWhenArrived(uint32_t stream) {
    const Clock::time_point limit = Clock::now() + kDrainLimit;
    while (Outstanding(stream) > 0 && Clock::now() < limit) {
      std::this_thread::sleep_for(milliseconds(5));
    }
    const std::lock_guard lock(mutex_);
    streams_[stream].closed = true;
  }
  // Lost: of a closed stream, what never arrived; of a stream still sending, the gaps below the
  // highest sequence number that arrived.
  Totals Sum() const {
    const std::lock_guard lock(mutex_);
    Totals totals;
    totals.strays = strays_;
    for (const Stream& s : streams_) {
      const uint64_t expected = s.closed ? s.sent : s.next;
      totals.sent += s.sent;
      totals.received += s.received;
      totals.lost += expected - std::min(expected, s.received);
      totals.out_of_order += s.out_of_order;
    }
    return totals;
  }
  uint64_t probes() const {
    const std::lock_guard lock(mutex_);
    return probes_;
  }

 private:
  struct Stream {
    uint64_t sent = 0, received = 0;
    uint64_t next = 0;  // the highest sequence number arrived, plus one
    uint64_t out_of_order = 0;
    bool closed = false;
  };

  static void Arrived(Stream& s, uint64_t sequence) {
    ++s.received;
    if (sequence < s.next) {
      ++s.out_of_order;
    } else {
      s.next = sequence + 1;
    }
  }
  uint64_t Outstanding(uint32_t stream) const {
    const std::lock_guard lock(mutex_);
    const Stream& s = streams_[stream];
    return s.sent - std::min(s.sent, s.received);
  }

  mutable std::mutex mutex_;
  std::deque<Stream> streams_;
  uint64_t probes_ = 0, strays_ = 0;
};

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  at.sin_port = htons(port);
  return at;
}

// The inserter's stand-in: a loopback socket with the receive buffer the router's own receiving
// sockets get, read by a thread of its own that hands the labels of what arrives to the ledger.
class InserterReceiver {
 public:
  explicit InserterReceiver(StreamLedger& ledger)
      : ledger_(ledger), fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    velmora::SizeReceiveBuffer(fd_);
    timeval timeout{0, 100000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const sockaddr_in at = Loopback(0);
    bind(fd_, reinterpret_cast<const sockaddr*>(&at), sizeof at);
    thread_ = std::thread([this] { Run(); });
  }
  ~InserterReceiver() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  InserterReceiver(const InserterReceiver&) = delete;
  InserterReceiver& operator=(const InserterReceiver&) = delete;

  uint16_t port() const { return PortOf(fd_); }

 private:
  void Run() {
    std::array<uint8_t, 2048> buffer;
    while (!stop_) {
      const ssize_t n = recv(fd_, buffer.data(), buffer.size(), 0);
      if (n < 0) continue;  // the timeout: time to look at stop_
      if (static_cast<size_t>(n) < Label::kBytes) {
        ledger_.CountStray();
      } else {
        ledger_.CountReceived(LabelBefore(buffer.data() + n));
      }
    }
  }

  StreamLedger& ledger_;
  int fd_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The steady stream on the transparent port: datagrams to 10.0.0.5 at `rate` per second, sent
// by a thread of its own in batches every millisecond, asleep in between. When the thread wakes
// late it catches up by at most two batches and leaves the rest out, so that the stream stays
// steady. The main thread probes with it before Start, then starts and stops it.
class TransparentStream {
 public:
  TransparentStream(StreamLedger& ledger, uint16_t port, double rate)
      : ledger_(ledger),
        stream_(ledger.Open()),
        rate_(rate),
        fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)),
        // QoS header 8, Ethernet 14, IPv4 20 and UDP 8 bytes around the payload.
        datagram_(
            velmora::TransparentUdpDatagram(htonl(0xc0000201), htonl(0x0a000005), 9, 1,
                                            std::vector<uint8_t>(kTransparentBytes - 50, 0x5a))) {
    const sockaddr_in to = Loopback(port);
    connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }
  ~TransparentStream() {
    Stop();
    close(fd_);
  }
  TransparentStream(const TransparentStream&) = delete;
  TransparentStream& operator=(const TransparentStream&) = delete;

  // One datagram outside every stream, to see whether the router forwards yet.
  void SendProbe() { Send(kProbeStream, 0); }
  void Start() {
    thread_ = std::thread([this] { Run(); });
  }
  // Datagrams left out because the thread woke too late to send them in time.
  uint64_t skipped() const { return skipped_; }
  // Stops sending and waits until the last datagrams have arrived.
  void Stop() {
    if (!thread_.joinable()) return;
    stop_ = true;
    thread_.join();
    ledger_.CloseWhenArrived(stream_);
  }

 private:
  bool Send(uint32_t stream, uint64_t sequence) {
    PutLabel(datagram_, {stream, sequence});
    return send(fd_, datagram_.data(), datagram_.size(), 0) > 0;
  }
  void Run() {
    const auto burst = std::max<uint64_t>(
        1, static_cast<uint64_t>(kCatchUpBatches * rate_ * duration<double>(kBatchPeriod).count()));
    const Clock::time_point start = Clock::now();
    uint64_t scheduled = 0, sent = 0;  // sent: the sequence number of the next datagram
    for (uint64_t batch = 1; !stop_; ++batch) {
      std::this_thread::sleep_until(start + batch * kBatchPeriod);
      const auto due =
          static_cast<uint64_t>(rate_ * duration<double>(Clock::now() - start).count());
      if (due > scheduled + burst) {
        skipped_ += due - burst - scheduled;
        scheduled = due - burst;
      }
      const uint64_t before = sent;
      for (; scheduled < due; ++scheduled) sent += Send(stream_, sent) ? 1 : 0;
      ledger_.CountSent(stream_, sent - before);
    }
  }

  StreamLedger& ledger_;
  const uint32_t stream_;
  const double rate_;
  int fd_;
  std::vector<uint8_t> datagram_;
  std::atomic<uint64_t> skipped_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The address a user's packets go to: 10.0.1.(slot + 2), an IP/MAC row of its own.
std::string UserDestination(int slot) {
  return "10.0.1." + std::to_string(slot + 2);
}

// Logins, counted by the user threads, read by the main thread.
struct LoginCounts {
  std::atomic<uint64_t> done{0}, failed{0}, hangups_failed{0};
};

// One L2TP user, on a thread of its own, over and over: a call on a new tunnel (its own socket),
// the PPP login, paced packets for `session` seconds, a wait until they have all arrived, and the
// hang-up. Each login is a stream of its own in the ledger. Made and ended by the main thread.
class SoakUser {
 public:
  SoakUser(int slot, uint16_t l2tp_port, const Options& options, StreamLedger& ledger,
           LoginCounts& logins)
      : slot_(slot),
        l2tp_port_(l2tp_port),
        options_(options),
        ledger_(ledger),
        logins_(logins),
        destination_(inet_addr(UserDestination(slot).c_str())),
        thread_([this] { Run(); }) {}
  ~SoakUser() {
    RequestStop();
    thread_.join();
  }
  SoakUser(const SoakUser&) = delete;
  SoakUser& operator=(const SoakUser&) = delete;

  // Asks the thread to end; it finishes the current login (drains and hangs up) first.
  void RequestStop() { stop_ = true; }

 private:
  void Run() {
    // The users start spread over one session, so that their logins do not come all at once.
    Sleep(options_.session * slot_ / options_.users);
    while (!stop_) Login();
  }
  void Login() {
    ScriptedLac lac(l2tp_port_);
    ScriptedLac::Tunnel tunnel;
    const uint16_t session = lac.OpenTunnel(tunnel, ++tunnel_id_) ? lac.OpenSession(tunnel, 1) : 0;
    PppUser user(lac, tunnel, session);
    if (session == 0 || !user.LogIn(UserName(slot_), UserPassword(slot_))) {
      ++logins_.failed;
      Sleep(1);
      return;
    }
    ++logins_.done;
    SendPaced(user);
    if (!lac.Hangup(tunnel, 1, session)) ++logins_.hangups_failed;
  }
  void SendPaced(PppUser& user) {
    const uint32_t stream = ledger_.Open();
    const Clock::time_point start = Clock::now();
    const auto end = start + duration<double>(options_.session);
    for (uint32_t sequence = 0; !stop_; ++sequence) {
      const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                   duration<double>(sequence / options_.user_rate));
      if (due >= end) break;
      std::this_thread::sleep_until(due);
      std::vector<uint8_t> frame = user.IpPacket(kUserPacketBytes, sequence, destination_);
      PutLabel(frame, {stream, sequence});
      user.Send(frame);
      ledger_.CountSent(stream, 1);
    }
    ledger_.CloseWhenArrived(stream);
  }
  void Sleep(double seconds) const {
    const auto until = Clock::now() + duration<double>(seconds);
    while (!stop_ && Clock::now() < until) std::this_thread::sleep_for(milliseconds(20));
  }

  const int slot_;
  const uint16_t l2tp_port_;
  const Options& options_;
  StreamLedger& ledger_;
  LoginCounts& logins_;
  const uint32_t destination_;
  uint16_t tunnel_id_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The router with every source on loopback, both profiles, the users and their addresses.
std::string RouterIni(uint16_t inserter_port, uint16_t transparent_port, uint16_t l2tp_port,
                      int users) {
  const uint32_t user_guarantee = std::min<uint32_t>(kUserMaximum, kUsersShare / users);
  std::ostringstream ini;
  ini << "[GENERAL]\nRemoteControlOn=0\nPylonEnable=0\nCorvidEnable=0\nBouncerEnable=0\nLogOn=0\n"
      << "LogLevel=1\nInserterIP=127.0.0.1\nInserterPort=" << inserter_port
      << "\nTransparentEnable=1\nTransparentPort=" << transparent_port
      << "\nL2tpEnable=1\nL2tpPort=" << l2tp_port << "\nL2tpPoolIP=172.16.0.1\nL2tpPool=256"
      << "\nEnableBandwidth=1\nMaxPayloadCut=" << kPhysical << "\nStatisticEnable=1"
      << "\nStatisticFile=\"" << kStatisticFile << "\"\n[USERPROFILES]\nStream=" << kStreamShare
      << "," << kStreamShare << "," << kStreamGuarantee << "\nUsers=" << kUsersShare << ","
      << kUserMaximum << "," << user_guarantee << "\n[L2TPPEERS]\n127.0.0.1\n[L2TPUSERS]\n";
  for (int slot = 0; slot < users; ++slot)
    ini << UserName(slot) << "=" << UserPassword(slot) << "\n";
  ini << "[NETWORKS]\nAlias=\"Soak\", IPSubNetAddr=10.0.0.0, IPSubNetMask=255.0.0.0, "
         "IPSubNetMAC=\"SubNet_001\", IPSubNetPID=291\n[SubNet_001]\n"
         "10.0.0.5 00-11-22-33-00-05 Stream\n";
  char mac[18];
  for (int slot = 0; slot < users; ++slot) {
    std::snprintf(mac, sizeof mac, "00-11-22-33-01-%02X", static_cast<uint8_t>(slot + 2));
    ini << UserDestination(slot) << " " << mac << " Users\n";
  }
  return ini.str();
}

std::string Console(const RouterChild& router) {
  std::ifstream out(router.dir() / "velmora.out");
  return {std::istreambuf_iterator<char>(out), {}};
}

// Waits until shaping runs, the L2TP port is bound and the transparent port forwards; false with
// the router's console when that does not come within 20 s.
bool AwaitRouter(const RouterChild& router, TransparentStream& transparent, uint16_t l2tp_port,
                 const StreamLedger& ledger) {
  for (int i = 0; i < 1000; ++i) {
    const std::string console = Console(router);
    if (console.find("Bandwidth management disable") != std::string::npos) break;
    if (console.find("Bandwidth management is started") != std::string::npos &&
        UdpSocketDrops(router.pid(), l2tp_port) && ledger.probes() > 0) {
      return true;
    }
    transparent.SendProbe();
    std::this_thread::sleep_for(milliseconds(20));
  }
  std::printf("the router did not come up; its console:\n%s\n", Console(router).c_str());
  return false;
}

// What the router holds at one moment; resident memory -1 once it has ended.
struct RouterFigures {
  long resident_kib = -1;
  long threads = -1;
  long descriptors = -1;
  // Datagrams that its transparent and L2TP sockets dropped because they were not read in time.
  uint64_t transparent_drops = 0, l2tp_drops = 0;
};

RouterFigures ReadFigures(pid_t pid, uint16_t transparent_port, uint16_t l2tp_port) {
  RouterFigures figures;
  const std::string proc = "/proc/" + std::to_string(pid);
  std::ifstream status(proc + "/status");
  for (std::string key; status >> key;) {
    if (key == "VmRSS:") status >> figures.resident_kib;
    if (key == "Threads:") status >> figures.threads;
    if (key == "State:" && status >> key && key == "Z") return {};
  }
  std::error_code error;
  figures.descriptors = 0;
  for (std::filesystem::directory_iterator fd(proc + "/fd", error), end; !error && fd != end;
       fd.increment(error)) {
    ++figures.descriptors;
  }
  figures.transparent_drops = UdpSocketDrops(pid, transparent_port).value_or(0);
  figures.l2tp_drops = UdpSocketDrops(pid, l2tp_port).value_or(0);
  return figures;
}

// How big the statistic file is and how long ago the router wrote it.
std::string StatisticFileState(const RouterChild& router) {
  const std::filesystem::path file = router.dir() / kStatisticFile;
  std::error_code error;
  const auto size = std::filesystem::file_size(file, error);
  if (error) return "not written";
  const auto age =
      std::filesystem::file_time_type::clock::now() - std::filesystem::last_write_time(file, error);
  return std::to_string(size) + " B, " +
         std::to_string(std::chrono::duration_cast<std::chrono::seconds>(age).count()) + " s ago";
}

// The table of the run: its heading, then one line per report from the router's figures, the
// ledger and the login counts. Main thread.
class Reporter {
 public:
  Reporter(const RouterChild& router, uint16_t transparent_port, uint16_t l2tp_port,
           const StreamLedger& ledger, const LoginCounts& logins)
      : router_(router),
        transparent_port_(transparent_port),
        l2tp_port_(l2tp_port),
        ledger_(ledger),
        logins_(logins) {}

  static void PrintHeading() {
    std::printf("%6s %10s %4s %7s %10s %10s %6s %8s %7s %6s %6s %6s  %s\n", "time s", "VmRSS KiB",
                "fds", "threads", "sent", "received", "lost", "disorder", "logins", "failed",
                "T-drop", "L-drop", "statistic file");
    std::printf(
        "(failed: logins and hang-ups that failed; T-drop, L-drop: datagrams the router's "
        "transparent and L2TP sockets dropped unread)\n");
  }
  RouterFigures Figures() const {
    return ReadFigures(router_.pid(), transparent_port_, l2tp_port_);
  }
  void PrintLine(const std::string& when, const RouterFigures& f) const {
    const StreamLedger::Totals t = ledger_.Sum();
    std::printf("%6s %10ld %4ld %7ld %10llu %10llu %6llu %8llu %7llu %6llu %6llu %6llu  %s\n",
                when.c_str(), f.resident_kib, f.descriptors, f.threads, Unsigned(t.sent),
                Unsigned(t.received), Unsigned(t.lost), Unsigned(t.out_of_order),
                Unsigned(logins_.done), Unsigned(logins_.failed + logins_.hangups_failed),
                Unsigned(f.transparent_drops), Unsigned(f.l2tp_drops),
                StatisticFileState(router_).c_str());
    std::fflush(stdout);
  }

 private:
  static unsigned long long Unsigned(uint64_t value) { return value; }

  const RouterChild& router_;
  const uint16_t transparent_port_, l2tp_port_;
  const StreamLedger& ledger_;
  const LoginCounts& logins_;
};

std::optional<Options> ParseOptions(int argc, char** argv) {
  if (argc % 2 == 0) return std::nullopt;
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const double value = std::atof(argv[i + 1]);
    if (key == "--seconds") {
      o.seconds = value;
    } else if (key == "--rate") {
      o.rate = value;
    } else if (key == "--users") {
      o.users = static_cast<int>(value);
    } else if (key == "--interval") {
      o.interval = value;
    } else if (key == "--session") {
      o.session = value;
    } else if (key == "--user-rate") {
      o.user_rate = value;
    } else {
      return std::nullopt;
    }
  }
  const bool valid = o.seconds > 0 && o.rate > 0 && o.users >= 1 && o.users <= 200 &&
                     o.interval > 0 && o.session > 0 && o.user_rate > 0;
  return valid ? std::optional(o) : std::nullopt;
}

// Whether the load leaves every profile at least twice what it is offered, so that shaping has
// no reason to drop; says which is not when it does not.
bool WithinProfiles(const Options& o) {
  const double stream = o.rate * kTransparentBytes * 8;
  const double user = o.user_rate * (kDeliveryHeader + kUserPacketBytes) * 8;
  const bool fits =
      2 * stream <= kStreamShare && 2 * user <= kUserMaximum && 2 * user * o.users <= kUsersShare;
  if (!fits) {
    std::fprintf(stderr,
                 "the load (%.0f bit/s transparent, %d users of %.0f bit/s) is more than half of "
                 "what the profiles allow (%u bit/s; %u bit/s per user, %u bit/s for all users)\n",
                 stream, o.users, user, kStreamShare, kUserMaximum, kUsersShare);
  }
  return fits;
}

// Readings of the router and the datagrams when the measured time begins.
struct Baseline {
  RouterFigures figures;
  uint64_t logins = 0;
  size_t console = 0;  // bytes of the router's console
};

const char* Grew(bool grew) {
  return grew ? "GREW" : "steady";
}

// The verdict on the router's holdings, start against end; true when none grew.
bool PrintGrowthVerdict(const Baseline& start, const RouterFigures& end, uint64_t logins) {
  const long memory = end.resident_kib - start.figures.resident_kib;
  const bool memory_grew = memory > kMemoryToleranceKiB;
  const bool descriptors_grew = end.descriptors > start.figures.descriptors;
  const bool threads_grew = end.threads > start.figures.threads;
  const uint64_t measured = logins - start.logins;
  std::printf(
      "verdict, router: memory %s (%+ld KiB, tolerance %ld KiB; %.3f KiB per login over %llu "
      "logins), descriptors %s (%ld -> %ld), threads %s (%ld -> %ld)\n",
      Grew(memory_grew), memory, kMemoryToleranceKiB,
      measured > 0 ? static_cast<double>(memory) / measured : 0.0,
      static_cast<unsigned long long>(measured), Grew(descriptors_grew), start.figures.descriptors,
      end.descriptors, Grew(threads_grew), start.figures.threads, end.threads);
  return !memory_grew && !descriptors_grew && !threads_grew;
}

// The verdict on the datagrams of the whole run; true when every one arrived, in order.
// `skipped`: what the transparent sender left out (not sent, so not lost).
bool PrintDatagramVerdict(const StreamLedger::Totals& totals, const RouterFigures& end,
                          uint64_t skipped) {
  const bool clean = totals.lost == 0 && totals.out_of_order == 0 && totals.strays == 0;
  std::printf(
      "verdict, datagrams: %s: %llu sent, %llu lost (the router's sockets dropped %llu unread), "
      "%llu out of order, %llu of no stream; the transparent sender woke late and left out "
      "%llu\n",
      clean ? "none lost" : "LOST OR REORDERED", static_cast<unsigned long long>(totals.sent),
      static_cast<unsigned long long>(totals.lost),
      static_cast<unsigned long long>(end.transparent_drops + end.l2tp_drops),
      static_cast<unsigned long long>(totals.out_of_order),
      static_cast<unsigned long long>(totals.strays), static_cast<unsigned long long>(skipped));
  return clean;
}

// What the router wrote to its console after the first `from` bytes: the number of lines and
// the last few of them.
void PrintConsoleSince(const RouterChild& router, size_t from) {
  constexpr size_t kShown = 5;
  std::istringstream text(Console(router).substr(from));
  std::vector<std::string> lines;
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  std::printf("router console: %zu lines during the measured time\n", lines.size());
  for (size_t i = lines.size() - std::min(lines.size(), kShown); i < lines.size(); ++i) {
    std::printf("  %s\n", lines[i].c_str());
  }
}

// One run: the router, the load on it and the reports, all driven by the main thread.
class Soak {
 public:
  explicit Soak(const Options& options) : Soak(options, FreeLoopbackPorts()) {}

  // The load starts once the router is up; false when it does not come up.
  bool Start() {
    if (!AwaitRouter(router_, transparent_, l2tp_port_, ledger_)) return false;
    begin_ = Clock::now();
    transparent_.Start();
    for (int slot = 0; slot < options_.users; ++slot) {
      users_.push_back(std::make_unique<SoakUser>(slot, l2tp_port_, options_, ledger_, logins_));
    }
    std::printf(
        "soak of %.0f s: transparent %.0f datagrams/s of %zu bytes; %d L2TP users, each logged "
        "in for %.0f s at a time sending %.0f packets/s of %zu bytes; shaping on, statistic "
        "file on\n",
        options_.seconds, options_.rate, kTransparentBytes, options_.users, options_.session,
        options_.user_rate, kUserPacketBytes);
    Reporter::PrintHeading();
    return true;
  }
  // Reports after the warm-up and at every interval; returns the router's figures at the end of
  // the time, before the load stops (resident memory -1 when the router ended early).
  RouterFigures Observe() {
    const Clock::time_point end = begin_ + Seconds(options_.seconds);
    const auto warm_up = std::min<Clock::duration>(kWarmUpLimit, (end - begin_) / 5);
    std::this_thread::sleep_until(begin_ + warm_up);
    start_ = {reporter_.Figures(), logins_.done, Console(router_).size()};
    reporter_.PrintLine("start", start_.figures);
    RouterFigures last = start_.figures;
    for (auto next = begin_ + warm_up + Seconds(options_.interval);
         next < end && last.resident_kib >= 0; next += Seconds(options_.interval)) {
      std::this_thread::sleep_until(next);
      last = reporter_.Figures();
      const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(next - begin_);
      reporter_.PrintLine(std::to_string(elapsed.count()), last);
    }
    if (last.resident_kib < 0) return last;
    std::this_thread::sleep_until(end);
    return reporter_.Figures();
  }
  // Stops the load, lets the last datagrams arrive and prints the end and the verdict.
  bool Finish(const RouterFigures& end) {
    for (const auto& user : users_) user->RequestStop();
    users_.clear();
    transparent_.Stop();
    reporter_.PrintLine("end", end);
    if (end.resident_kib < 0) {
      std::printf("the router has ended during the run\n");
      return false;
    }
    PrintConsoleSince(router_, start_.console);
    const bool steady = PrintGrowthVerdict(start_, end, logins_.done);
    return PrintDatagramVerdict(ledger_.Sum(), end, transparent_.skipped()) && steady;
  }

 private:
  // `ports`: the transparent port and the L2TP port.
  Soak(const Options& options, std::pair<uint16_t, uint16_t> ports)
      : options_(options),
        receiver_(ledger_),
        transparent_port_(ports.first),
        l2tp_port_(ports.second),
        router_("velmora_soak",
                RouterIni(receiver_.port(), transparent_port_, l2tp_port_, options.users)),
        transparent_(ledger_, transparent_port_, options.rate),
        reporter_(router_, transparent_port_, l2tp_port_, ledger_, logins_) {}

  static Clock::duration Seconds(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(duration<double>(seconds));
  }

  const Options options_;
  StreamLedger ledger_;
  LoginCounts logins_;
  InserterReceiver receiver_;
  const uint16_t transparent_port_, l2tp_port_;
  RouterChild router_;
  TransparentStream transparent_;
  const Reporter reporter_;
  std::vector<std::unique_ptr<SoakUser>> users_;
  Clock::time_point begin_;
  Baseline start_;
};

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Options> options = ParseOptions(argc, argv);
  if (!options) {
    std::fprintf(stderr,
                 "usage: %s [--seconds 600] [--rate 2000] [--users 8] [--interval 60] "
                 "[--session 5] [--user-rate 100]\n",
                 argv[0]);
    return 2;
  }
  if (!WithinProfiles(*options)) return 2;
  Soak soak(*options);
  if (!soak.Start()) return 1;
  return soak.Finish(soak.Observe()) ? 0 : 1;
}
