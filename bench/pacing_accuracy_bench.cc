// Pacing accuracy of bandwidth management, end to end. Each case runs the real router with a
// physical bandwidth and a set of addresses in user profiles, offers every address more than it
// may get as inserter datagrams on the transparent port, and measures at a UDP receiver in the
// inserter's place, by the kernel's receive times. The same load then goes through Linux tc HTB
// on a veth pair between two network namespaces that the benchmark creates and removes (one class
// per address: rate = guarantee, ceil = maximum, under a parent at the physical bandwidth; each
// class's queue as deep as the router's queue of that address), measured the same way.
//
// Each shaper is scored against its own allocation rule, the router's "guarantee first, then equal
// shares of the maximum" and HTB's "rate first, then the excess in equal quanta up to ceil"; every
// case checks that no 270 ms carried more than the physical bandwidth x 0.27 s plus one datagram,
// and where the offered load exceeds the physical bandwidth that the total stays within 0.5 % of
// it.
//
//   pacing_accuracy_bench [--seconds N] [--case NAME]... [--shaper velmora|htb]
//
// Cases: 2mbit, 10mbit, 15mbit (three addresses in two profiles), 4096 (4,096 addresses at
// 15 Mbit/s), low-maxima (maxima of 8,000 and 32,000 bit/s in 1400-byte datagrams, 20 s by
// default). HTB needs root; it is skipped with a note otherwise.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/address_text.h"
#include "router_child.h"
#include "traffic/udp_frame.h"

namespace {

// Kernel receive timestamps are CLOCK_REALTIME; the whole measurement runs on that clock.
using RealClock = std::chrono::system_clock;
using std::chrono::duration;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;
using velmora::SocketAddress;
using velmora::bench::FreeLoopbackPorts;
using velmora::bench::RouterChild;
using velmora::bench::UdpSocketDrops;

constexpr auto kWindow = milliseconds(270);
constexpr auto kBatchPeriod = milliseconds(2);
constexpr int kCatchUpBatches = 2;          // how far a late generator catches up at once
constexpr auto kDrain = milliseconds(300);  // receiving goes on this long after the load
constexpr uint32_t kBufferMs = 1000;        // the router's BufTime; HTB's queues match it
constexpr size_t kManyFlows = 8;            // above this, results are shown per profile
constexpr uint32_t kLabelBytes = 8;         // flow address, then sequence number
constexpr uint16_t kHtbPort = 9000;

struct Profile {
  std::string alias;
  uint32_t summary, maximum, guarantee;
};

struct Flow {
  size_t profile;  // index into the case's profiles
  uint16_t host;   // the low 16 bits of the destination address
  double offered;  // bit/s the load generator offers
};

// One measured situation: the channel, the profiles, the addresses and their load.
struct Case {
  std::string name;
  uint32_t physical;
  size_t datagram;  // bytes of every datagram, as the shaper counts it
  std::vector<Profile> profiles;
  std::vector<Flow> flows;
  seconds warm_up, measured;
};

uint16_t HostNumber(size_t k) {
  return static_cast<uint16_t>((k / 250) << 8 | (k % 250 + 2));
}

void AddFlows(Case& c, size_t profile, size_t count, double offered) {
  for (size_t i = 0; i < count; ++i)
    c.flows.push_back({profile, HostNumber(c.flows.size()), offered});
}

// Profile A (two addresses): summary 60 %, maximum 35 %, guarantee 10 % of the physical
// bandwidth; profile B (one address): summary and maximum 40 %, guarantee the same, at most 2
// Mbit/s. Each address is offered twice its maximum.
Case ThreeAddressCase(uint32_t physical) {
  const auto part = [&](double share) { return static_cast<uint32_t>(physical * share); };
  const uint32_t b = part(0.4);
  Case c{std::to_string(physical / 1'000'000) + "mbit",
         physical,
         1000,
         {{"A", part(0.6), part(0.35), part(0.1)}, {"B", b, b, std::min<uint32_t>(b, 2'000'000)}},
         {},
         seconds(1),
         seconds(5)};
  AddFlows(c, 0, 2, 2.0 * c.profiles[0].maximum);
  AddFlows(c, 1, 1, 2.0 * c.profiles[1].maximum);
  return c;
}

// 4,096 addresses of one profile share 15 Mbit/s; together they are offered twice that, so every
// queue holds a backlog after the warm-up. Their maximum lets each send more than one datagram per
// 270 ms, so that this case measures the choice among many queues, not low maxima.
Case ManyAddressCase() {
  constexpr uint32_t kPhysical = 15'000'000;
  constexpr size_t kAddresses = 4096;
  Case c{"4096", kPhysical, 1000, {{"M", kPhysical, 60'000, 2'000}}, {}, seconds(4), seconds(5)};
  AddFlows(c, 0, kAddresses, 2.0 * kPhysical / kAddresses);
  return c;
}

// Maxima below one 1400-byte datagram per 270 ms, one reached through the guarantee and one
// through the maximum band, beside a bulk address; all offered twice their maxima, together less
// than the physical bandwidth, so every address is owed its maximum.
Case LowMaximaCase() {
  Case c{"low-maxima",
         2'000'000,
         1400,
         {{"L8", 56'000, 8'000, 8'000},
          {"L32", 56'000, 32'000, 16'000},
          {"Bulk", 1'888'000, 1'800'000, 0}},
         {},
         seconds(1),
         seconds(20)};
  for (size_t p = 0; p < c.profiles.size(); ++p) AddFlows(c, p, 1, 2.0 * c.profiles[p].maximum);
  return c;
}

std::vector<Case> AllCases() {
  return {ThreeAddressCase(2'000'000), ThreeAddressCase(10'000'000), ThreeAddressCase(15'000'000),
          ManyAddressCase(), LowMaximaCase()};
}

double Demand(const Case& c, const Flow& f) {
  return std::min(f.offered, 1.0 * c.profiles[f.profile].maximum);
}

// The level at which `total`, non-decreasing in it, reaches `physical`; `high` when it stays below.
double FillLevel(const std::function<double(double)>& total, double physical, double high) {
  if (total(high) <= physical) return high;
  double low = 0;
  for (int i = 0; i < 200; ++i)
    ((total((low + high) / 2) > physical) ? high : low) = (low + high) / 2;
  return low;
}

// Rates by a rule that gives each flow `rate(flow, level)` for one common level, filled up to the
// physical bandwidth.
std::vector<double> FillRates(const Case& c, double high,
                              const std::function<double(const Flow&, double)>& rate) {
  const auto total = [&](double level) {
    double sum = 0;
    for (const Flow& f : c.flows) sum += rate(f, level);
    return sum;
  };
  const double level = FillLevel(total, c.physical, high);
  std::vector<double> rates;
  for (const Flow& f : c.flows) rates.push_back(rate(f, level));
  return rates;
}

// The router's rule: guarantee first, then the same share s of every maximum.
std::vector<double> VelmoraExpected(const Case& c) {
  return FillRates(c, 1, [&](const Flow& f, double s) {
    const Profile& p = c.profiles[f.profile];
    return std::min(Demand(c, f), std::max(1.0 * p.guarantee, s * p.maximum));
  });
}

// The HTB class of a flow. HTB needs a rate above 0. The quantum (bytes per round when classes
// share the excess) is one datagram for every class: the finest round HTB serves, so that a class
// held at its ceil waits at most a datagram per other class when it may send again.
struct HtbClass {
  uint32_t rate, ceil, quantum;
};

HtbClass HtbClassOf(const Case& c, const Flow& f) {
  const Profile& p = c.profiles[f.profile];
  const uint32_t rate = std::max<uint32_t>(p.guarantee, 8);
  return {rate, p.maximum, static_cast<uint32_t>(c.datagram)};
}

// HTB's rule: each class its rate; the parent's rest shared in quanta, each up to its ceil.
std::vector<double> HtbExpected(const Case& c) {
  return FillRates(c, 1e9, [&](const Flow& f, double level) {
    const HtbClass k = HtbClassOf(c, f);
    const double assured = std::min(Demand(c, f), 1.0 * k.rate);
    return std::min(Demand(c, f), assured + level * k.quantum);
  });
}

// ---- Measuring ----

struct Outgoing {
  sockaddr_in to;
  std::vector<uint8_t> bytes;
};

// How the load reaches one shaper and how its receiver tells the flows apart.
struct Path {
  const char* name;
  std::string sender_ns, receiver_ns;  // empty: this namespace
  uint32_t network;                    // host order; a flow's address is network | host
  sockaddr_in listen;                  // the receiver's address
  // The flow of a received datagram: its IP destination (true) or the QoS IP heading it.
  bool flow_by_destination;
  size_t label_offset;     // where the flow's address and a sequence number sit in a datagram
  uint32_t unseen_header;  // bytes the shaper counts that the receiving socket does not see
  // A flow's datagram and where it goes, both made from the flow's address.
  std::function<Outgoing(uint32_t address, size_t bytes)> outgoing;

  uint32_t AddressOf(const Flow& f) const { return htonl(network | f.host); }
};

std::string DottedOf(uint32_t address) {
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

bool EnterNamespace(const std::string& name) {
  if (name.empty()) return true;
  const int fd = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
  const bool entered = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
  if (!entered) std::perror(("setns " + name).c_str());
  if (fd >= 0) close(fd);
  return entered;
}

// A socket made by `open_socket` inside the named network namespace; it stays there whichever
// thread uses it.
int SocketIn(const std::string& ns, const std::function<int()>& open_socket) {
  int fd = -1;
  std::thread([&] {
    if (EnterNamespace(ns)) fd = open_socket();
  }).join();
  return fd;
}

void SetOption(int fd, int level, int name, int value) {
  setsockopt(fd, level, name, &value, sizeof value);
}

int OpenReceiver(const sockaddr_in& listen) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  SetOption(fd, SOL_SOCKET, SO_RCVBUF, 8 << 20);       // as far as the system allows
  SetOption(fd, SOL_SOCKET, SO_RCVBUFFORCE, 8 << 20);  // beyond that, as root
  SetOption(fd, SOL_SOCKET, SO_TIMESTAMPNS, 1);
  SetOption(fd, SOL_SOCKET, SO_RXQ_OVFL, 1);
  SetOption(fd, IPPROTO_IP, IP_PKTINFO, 1);
  timeval timeout{0, 20000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&listen), sizeof listen) != 0) {
    std::perror("bind receiver");
    close(fd);
    return -1;
  }
  return fd;
}

int OpenSender() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  SetOption(fd, SOL_SOCKET, SO_SNDBUF, 64 << 20);
  SetOption(fd, SOL_SOCKET, SO_SNDBUFFORCE, 64 << 20);
  return fd;
}

int64_t NanosOf(RealClock::time_point t) {
  return std::chrono::duration_cast<nanoseconds>(t.time_since_epoch()).count();
}

void PutLabel(std::vector<uint8_t>& bytes, size_t at, uint32_t address, uint32_t sequence) {
  std::memcpy(bytes.data() + at, &address, 4);
  std::memcpy(bytes.data() + at + 4, &sequence, 4);
}

// What the load generator did over the measured time.
struct Offered {
  uint64_t bytes = 0;
  uint64_t refused = 0;  // datagrams the sending socket did not take
  uint64_t skipped = 0;  // datagrams given up when the generator fell behind
};

// The load: one thread sends every flow's datagrams at its offered rate in batches every 2 ms and
// sleeps between them, so that on a small machine it leaves the cores to what it measures. The
// flows start one after another over the warm-up, so that no shaper sees them in step; a flow
// that falls behind catches up by at most two batches.
Offered Generate(const Case& c, const Path& path, int fd, RealClock::time_point start,
                 RealClock::time_point from, RealClock::time_point to) {
  struct Schedule {
    uint32_t address;
    Outgoing out;
    double interval_ns, start_ns;
    int64_t next = 0, max_burst;
    uint32_t sequence = 0;
  };
  std::vector<Schedule> schedules;
  for (size_t k = 0; k < c.flows.size(); ++k) {
    const Flow& f = c.flows[k];
    const double interval_ns = c.datagram * 8e9 / f.offered;
    const auto burst =
        static_cast<int64_t>(kCatchUpBatches * 1e6 * kBatchPeriod.count() / interval_ns);
    const uint32_t address = path.AddressOf(f);
    schedules.push_back({address, path.outgoing(address, c.datagram - path.unseen_header),
                         interval_ns, 1e9 * c.warm_up.count() * k / c.flows.size(), 0,
                         std::max<int64_t>(burst, 1)});
  }
  Offered offered;
  for (auto batch = start; batch < to; batch += kBatchPeriod) {
    std::this_thread::sleep_until(batch);
    const RealClock::time_point now = RealClock::now();
    const double elapsed_ns = static_cast<double>(NanosOf(now) - NanosOf(start));
    const bool counted = now >= from && now < to;
    for (Schedule& s : schedules) {
      if (elapsed_ns < s.start_ns) continue;
      const auto due = static_cast<int64_t>((elapsed_ns - s.start_ns) / s.interval_ns) + 1;
      if (due - s.next > s.max_burst) {
        offered.skipped += counted ? due - s.max_burst - s.next : 0;
        s.next = due - s.max_burst;
      }
      for (; s.next < due; ++s.next) {
        PutLabel(s.out.bytes, path.label_offset, s.address, s.sequence++);
        const bool sent = sendto(fd, s.out.bytes.data(), s.out.bytes.size(), 0,
                                 reinterpret_cast<const sockaddr*>(&s.out.to), sizeof s.out.to) > 0;
        if (!counted) continue;
        offered.bytes += sent ? s.out.bytes.size() + path.unseen_header : 0;
        offered.refused += sent ? 0 : 1;
      }
    }
  }
  return offered;
}

struct Arrival {
  int64_t ns;  // kernel receive time
  uint32_t flow;
  uint32_t bytes;  // as the shaper counts them
};

// What the receiver got, by flow, with what did not fit the load that was sent.
struct Reception {
  std::vector<Arrival> arrivals;
  uint64_t unknown = 0;       // for no flow of the case
  uint64_t mislabelled = 0;   // the label inside names another flow than the one it reached
  uint64_t out_of_order = 0;  // a flow's sequence number that did not grow
  uint32_t lost = 0;          // dropped by the receiving socket itself
};

// The IP destination, kernel receive time and socket drop count of one received datagram.
struct ReceivedMeta {
  uint32_t destination = 0;
  int64_t ns = 0;
  uint32_t drops = 0;
};

ReceivedMeta MetaOf(msghdr& message) {
  ReceivedMeta meta;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
      timespec t;
      std::memcpy(&t, CMSG_DATA(c), sizeof t);
      meta.ns = int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
    } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
      std::memcpy(&meta.drops, CMSG_DATA(c), sizeof meta.drops);
    } else if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      in_pktinfo info;
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      meta.destination = info.ipi_addr.s_addr;
    }
  }
  return meta;
}

// Receives until `until`, filing each datagram under the flow it reached.
Reception Receive(const Case& c, const Path& path, int fd, RealClock::time_point until) {
  std::unordered_map<uint32_t, uint32_t> flow_of;
  for (uint32_t k = 0; k < c.flows.size(); ++k) flow_of[path.AddressOf(c.flows[k])] = k;
  std::vector<int64_t> last_sequence(c.flows.size(), -1);
  Reception reception;
  std::vector<uint8_t> buffer(65536);
  alignas(cmsghdr) char control[256];
  while (RealClock::now() < until) {
    iovec part{buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(fd, &message, 0);
    if (n < static_cast<ssize_t>(path.label_offset + kLabelBytes)) continue;
    const ReceivedMeta meta = MetaOf(message);
    reception.lost = std::max(reception.lost, meta.drops);
    uint32_t key, label, sequence;
    if (path.flow_by_destination)
      key = meta.destination;
    else
      std::memcpy(&key, buffer.data(), 4);
    std::memcpy(&label, buffer.data() + path.label_offset, 4);
    std::memcpy(&sequence, buffer.data() + path.label_offset + 4, 4);
    const auto found = flow_of.find(key);
    if (found == flow_of.end()) {
      ++reception.unknown;
      continue;
    }
    reception.mislabelled += label != key;
    int64_t& last = last_sequence[found->second];
    reception.out_of_order += sequence <= last;
    last = std::max<int64_t>(last, sequence);
    reception.arrivals.push_back(
        {meta.ns, found->second, static_cast<uint32_t>(n) + path.unseen_header});
  }
  std::sort(reception.arrivals.begin(), reception.arrivals.end(),
            [](const Arrival& a, const Arrival& b) { return a.ns < b.ns; });
  return reception;
}

struct Measurement {
  Reception reception;
  Offered offered;
  int64_t from_ns, to_ns;  // the measured time, after the warm-up
};

// Runs the load through a path: warm-up, then the measured time; `at_from` and `at_to` run at its
// two ends.
std::optional<Measurement> Measure(const Case& c, const Path& path,
                                   const std::function<void()>& at_from,
                                   const std::function<void()>& at_to) {
  const int receiver = SocketIn(path.receiver_ns, [&] { return OpenReceiver(path.listen); });
  const int sender = SocketIn(path.sender_ns, OpenSender);
  if (receiver < 0 || sender < 0) {
    std::printf("  %s: the load's sockets could not be opened; skipped\n", path.name);
    if (receiver >= 0) close(receiver);
    if (sender >= 0) close(sender);
    return std::nullopt;
  }
  const RealClock::time_point start = RealClock::now();
  const RealClock::time_point from = start + c.warm_up, to = from + c.measured;
  Measurement m{{}, {}, NanosOf(from), NanosOf(to)};
  std::thread receiving([&] { m.reception = Receive(c, path, receiver, to + kDrain); });
  std::thread generating([&] { m.offered = Generate(c, path, sender, start, from, to); });
  std::this_thread::sleep_until(from);
  at_from();
  std::this_thread::sleep_until(to);
  at_to();
  generating.join();
  receiving.join();
  close(sender);
  close(receiver);
  return m;
}

// ---- Scoring ----

// The most bytes that arrived within any 270 ms of [from, to).
uint64_t BusiestWindow(const std::vector<Arrival>& arrivals, int64_t from, int64_t to) {
  const int64_t window = nanoseconds(kWindow).count();
  uint64_t busiest = 0, bytes = 0;
  size_t first = 0;
  for (const Arrival& a : arrivals) {
    if (a.ns < from) {
      ++first;
      continue;
    }
    if (a.ns >= to) break;
    bytes += a.bytes;
    for (; a.ns - arrivals[first].ns >= window; ++first) bytes -= arrivals[first].bytes;
    busiest = std::max(busiest, bytes);
  }
  return busiest;
}

// A case's results on one shaper, for the closing summary.
struct Outcome {
  std::string case_name, shaper;
  double total_error;  // % against the physical bandwidth
  uint64_t busiest, limit;
  std::vector<std::string> missed;
};

struct FlowScore {
  double expected, measured;
  bool rate_ok, guarantee_ok;
};

std::vector<FlowScore> ScoreFlows(const Case& c, const std::vector<double>& expected,
                                  const Measurement& m) {
  std::vector<uint64_t> bytes(c.flows.size(), 0);
  for (const Arrival& a : m.reception.arrivals)
    bytes[a.flow] += (a.ns >= m.from_ns && a.ns < m.to_ns) ? a.bytes : 0;
  const double secs = duration<double>(c.measured).count();
  // Within one datagram over the measured time, or 2 %, whichever is more.
  const double datagram_rate = c.datagram * 8 / secs;
  std::vector<FlowScore> scores;
  for (size_t k = 0; k < c.flows.size(); ++k) {
    const double rate = bytes[k] * 8 / secs;
    const double guarantee = c.profiles[c.flows[k].profile].guarantee;
    scores.push_back({expected[k], rate,
                      std::abs(rate - expected[k]) <= std::max(0.02 * expected[k], datagram_rate),
                      rate >= guarantee - std::max(0.01 * guarantee, datagram_rate)});
  }
  return scores;
}

void PrintFlows(const Case& c, const Path& path, const std::vector<FlowScore>& scores) {
  std::printf("  %-8s %-12s %10s %10s %12s %12s %8s\n", path.name, "address", "guarantee",
              "maximum", "expected", "measured", "error");
  for (size_t k = 0; k < c.flows.size(); ++k) {
    const Profile& p = c.profiles[c.flows[k].profile];
    const FlowScore& s = scores[k];
    std::printf("  %-8s %-12s %10u %10u %12.0f %12.0f %7.2f%% %s\n", p.alias.c_str(),
                DottedOf(path.AddressOf(c.flows[k])).c_str(), p.guarantee, p.maximum, s.expected,
                s.measured, (s.measured - s.expected) / s.expected * 100,
                s.rate_ok && s.guarantee_ok ? "ok" : "MISS");
  }
}

// Many flows: one line per profile with the spread of the measured rates.
void PrintProfiles(const Case& c, const Path& path, const std::vector<FlowScore>& scores) {
  std::printf("  %-8s %9s %10s %10s %12s %30s %s\n", path.name, "addresses", "guarantee", "maximum",
              "expected", "measured min / median / max", "off target");
  for (size_t p = 0; p < c.profiles.size(); ++p) {
    std::vector<double> rates;
    double expected = 0;
    size_t missed = 0;
    for (size_t k = 0; k < c.flows.size(); ++k) {
      if (c.flows[k].profile != p) continue;
      rates.push_back(scores[k].measured);
      expected += scores[k].expected;
      missed += !(scores[k].rate_ok && scores[k].guarantee_ok);
    }
    if (rates.empty()) continue;
    std::sort(rates.begin(), rates.end());
    std::printf("  %-8s %9zu %10u %10u %12.0f %10.0f / %7.0f / %7.0f %zu\n",
                c.profiles[p].alias.c_str(), rates.size(), c.profiles[p].guarantee,
                c.profiles[p].maximum, expected / rates.size(), rates.front(),
                rates[rates.size() / 2], rates.back(), missed);
  }
}

// The total against the physical bandwidth: within 0.5 % of it where the offered maxima exceed it.
void CheckTotal(const Case& c, const std::vector<FlowScore>& scores, const Measurement& m,
                Outcome& outcome) {
  double total = 0, expected = 0, demand = 0;
  for (size_t k = 0; k < c.flows.size(); ++k) {
    total += scores[k].measured;
    expected += scores[k].expected;
    demand += Demand(c, c.flows[k]);
  }
  outcome.total_error = (total - c.physical) / c.physical * 100;
  std::printf(
      "  total %.0f bit/s, expected %.0f (%+.2f%%), offered %.0f; %+.2f%% against the "
      "physical bandwidth",
      total, expected, (total - expected) / expected * 100,
      m.offered.bytes * 8 / duration<double>(c.measured).count(), outcome.total_error);
  if (demand <= c.physical) {
    std::printf(" (the maxima sum below it: no target)\n");
    return;
  }
  const bool ok = std::abs(outcome.total_error) <= 0.5;
  if (!ok) outcome.missed.push_back("total within 0.5 %");
  std::printf(" (target 0.5 %%): %s\n", ok ? "PASS" : "FAIL");
}

// No 270 ms carried more than the physical bandwidth x 0.27 s plus one datagram.
void CheckPromise(const Case& c, const Measurement& m, Outcome& outcome) {
  outcome.busiest = BusiestWindow(m.reception.arrivals, m.from_ns, m.to_ns);
  outcome.limit = static_cast<uint64_t>(c.physical * 0.270 / 8) + c.datagram;
  const bool ok = outcome.busiest <= outcome.limit;
  if (!ok) outcome.missed.push_back("270 ms promise");
  std::printf("  busiest 270 ms: %llu bytes, at most %llu (physical x 0.27 s + one datagram): %s\n",
              static_cast<unsigned long long>(outcome.busiest),
              static_cast<unsigned long long>(outcome.limit), ok ? "PASS" : "FAIL");
}

// Every datagram reached the flow it was sent for, in order, and the receiver lost none.
void CheckReception(const Measurement& m, Outcome& outcome) {
  const Reception& r = m.reception;
  std::printf(
      "  received %zu datagrams: %llu out of order, %llu mislabelled, %llu for no flow, "
      "%u lost by the receiving socket; load: %llu refused by the sending socket, %llu "
      "skipped by a late generator\n",
      r.arrivals.size(), static_cast<unsigned long long>(r.out_of_order),
      static_cast<unsigned long long>(r.mislabelled), static_cast<unsigned long long>(r.unknown),
      r.lost, static_cast<unsigned long long>(m.offered.refused),
      static_cast<unsigned long long>(m.offered.skipped));
  if (r.mislabelled + r.unknown + r.lost + r.out_of_order > 0)
    outcome.missed.push_back("clean reception");
}

Outcome Report(const Case& c, const Path& path, const std::vector<double>& expected,
               const Measurement& m) {
  const std::vector<FlowScore> scores = ScoreFlows(c, expected, m);
  (c.flows.size() > kManyFlows ? PrintProfiles : PrintFlows)(c, path, scores);
  Outcome outcome{c.name, path.name, 0, 0, 0, {}};
  const auto all = [&](bool FlowScore::*good) {
    return std::all_of(scores.begin(), scores.end(), [&](const FlowScore& s) { return s.*good; });
  };
  if (!all(&FlowScore::rate_ok)) outcome.missed.push_back("per-address rates");
  if (!all(&FlowScore::guarantee_ok)) outcome.missed.push_back("guarantees");
  CheckTotal(c, scores, m, outcome);
  CheckPromise(c, m, outcome);
  CheckReception(m, outcome);
  return outcome;
}

void PrintVerdict(const Outcome& outcome) {
  std::string missed;
  for (const std::string& m : outcome.missed) missed += (missed.empty() ? "" : ", ") + m;
  std::printf("  targets: %s%s\n", missed.empty() ? "all met" : "NOT MET: ", missed.c_str());
}

// ---- The router ----

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

std::string VelmoraIni(const Case& c, uint16_t transparent_port, uint16_t inserter_port) {
  std::ostringstream ini;
  ini << "[GENERAL]\nRemoteControlOn=0\nLogOn=0\nLogLevel=1\nInserterIP=127.0.0.1\nInserterPort="
      << inserter_port << "\nTransparentEnable=1\nTransparentPort=" << transparent_port
      << "\nPylonEnable=0\nCorvidEnable=0\nBouncerEnable=0\nL2tpEnable=0\nStatisticEnable=0"
      << "\nEnableBandwidth=1\nBufTime=" << kBufferMs << "\nMaxPayloadCut=" << c.physical
      << "\n[USERPROFILES]\n";
  for (const Profile& p : c.profiles)
    ini << p.alias << "=" << p.summary << "," << p.maximum << "," << p.guarantee << "\n";
  ini << "[NETWORKS]\nAlias=\"Bench\", IPSubNetAddr=10.0.0.0, IPSubNetMask=255.0.0.0, "
         "IPSubNetMAC=\"SubNet_001\", IPSubNetPID=291\n[SubNet_001]\n";
  char mac[18];
  for (const Flow& f : c.flows) {
    std::snprintf(mac, sizeof mac, "00-11-22-33-%02X-%02X", f.host >> 8, f.host & 0xff);
    ini << "10.0." << (f.host >> 8) << "." << (f.host & 0xff) << " " << mac << " "
        << c.profiles[f.profile].alias << "\n";
  }
  return ini.str();
}

// Waits until shaping has started and the transparent port is bound; false (with the router's
// console) when it does not come within 20 s.
bool AwaitRouter(const RouterChild& router, uint16_t transparent_port) {
  std::string text;
  for (int i = 0; i < 2000; ++i) {
    std::ifstream out(router.dir() / "velmora.out");
    text.assign(std::istreambuf_iterator<char>(out), {});
    if (text.find("Bandwidth management is started") != std::string::npos &&
        UdpSocketDrops(router.pid(), transparent_port))
      return true;
    if (text.find("Bandwidth management disable") != std::string::npos) break;
    std::this_thread::sleep_for(milliseconds(10));
  }
  std::printf("  velmora: shaping did not start; its console:\n%s\n", text.c_str());
  return false;
}

// Datagrams in the inserter format to the transparent port, filed by their QoS IP at the inserter.
Path VelmoraPath(uint16_t transparent_port, uint16_t inserter_port) {
  // QoS header 8, Ethernet 14, IPv4 20, UDP 8, then the label.
  constexpr size_t kHeaders = 8 + 14 + 20 + 8;
  return {"velmora",
          "",
          "",
          0x0a000000,
          SocketAddress(htonl(INADDR_LOOPBACK), inserter_port),
          false,
          kHeaders,
          0,
          [transparent_port](uint32_t address, size_t bytes) {
            const std::vector<uint8_t> payload(bytes - kHeaders, 0x5a);
            return Outgoing{
                SocketAddress(htonl(INADDR_LOOPBACK), transparent_port),
                velmora::TransparentUdpDatagram(htonl(0xc0000201), address, 9, 1, payload)};
          }};
}

std::optional<Outcome> RunVelmora(const Case& c) {
  const auto [transparent_port, inserter_port] = FreeLoopbackPorts();
  RouterChild router("velmora_pacing", VelmoraIni(c, transparent_port, inserter_port));
  if (!AwaitRouter(router, transparent_port)) return std::nullopt;
  const Path path = VelmoraPath(transparent_port, inserter_port);
  double cpu_from = 0, cpu_to = 0;
  uint64_t drops_from = 0, drops_to = 0;
  const auto sample = [&](double& cpu, uint64_t& drops) {
    cpu = ThreadCpuSeconds(router.pid(), "bwc-sender");
    drops = UdpSocketDrops(router.pid(), transparent_port).value_or(0);
  };
  const std::optional<Measurement> m = Measure(
      c, path, [&] { sample(cpu_from, drops_from); }, [&] { sample(cpu_to, drops_to); });
  if (!m) return std::nullopt;
  Outcome outcome = Report(c, path, VelmoraExpected(c), *m);
  std::printf("  paced sender thread CPU: %.1f%% of one core\n",
              (cpu_to - cpu_from) / duration<double>(c.measured).count() * 100);
  const uint64_t unread = drops_to - drops_from;
  std::printf("  transparent port: %llu datagrams dropped unread (Enqueue kept pace): %s\n",
              static_cast<unsigned long long>(unread), unread == 0 ? "PASS" : "FAIL");
  if (unread != 0) outcome.missed.push_back("Enqueue kept pace");
  PrintVerdict(outcome);
  return outcome;
}

// ---- tc HTB ----

int Shell(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str());
}

std::string Hex(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%x", value);
  return text;
}

// Two network namespaces joined by a veth pair, made for one case and removed with the object.
// The sending side routes the flows' addresses to the receiving side, which takes them all as its
// own, and shapes them with HTB on its end of the pair: a parent class at the physical bandwidth
// and one class per address, its queue as deep as the router's queue of that address. HTB lets a
// class send while its tokens are not negative, so over any time a class sends its rate times the
// time plus its burst plus one packet, and a class within its rate sends without its parent. To
// keep the physical bandwidth x 0.27 s plus one datagram, the parent's burst and cburst and each
// address's burst are one byte; each address's cburst is one datagram, so that a class held at
// its ceil does not lose it to timer latency. Used by the main thread.
class HtbBed {
 public:
  explicit HtbBed(const Case& c)
      : sender_("vbench-send-" + std::to_string(getpid())),
        receiver_("vbench-recv-" + std::to_string(getpid())),
        batch_(std::filesystem::temp_directory_path() /
               ("vbench-htb-" + std::to_string(getpid()) + ".tc")) {
    WriteBatch(c);
    ready_ = RunAll(Commands());
  }
  ~HtbBed() {
    Shell("ip netns del " + sender_);
    Shell("ip netns del " + receiver_);
    std::filesystem::remove(batch_);
  }
  HtbBed(const HtbBed&) = delete;
  HtbBed& operator=(const HtbBed&) = delete;

  bool ready() const { return ready_; }
  const std::string& sender() const { return sender_; }
  const std::string& receiver() const { return receiver_; }

 private:
  std::vector<std::string> Commands() const {
    const std::string s = "ip -n " + sender_ + " ", r = "ip -n " + receiver_ + " ";
    return {
        "ip netns add " + sender_,
        "ip netns add " + receiver_,
        "ip link add vbench0 netns " + sender_ + " type veth peer name vbench1 netns " + receiver_,
        r + "link set vbench1 address 02:00:00:00:00:02",
        s + "addr add 10.231.0.1/24 dev vbench0",
        r + "addr add 10.231.0.2/24 dev vbench1",
        s + "link set vbench0 up",
        r + "link set vbench1 up",
        r + "link set lo up",
        s + "neigh replace 10.231.0.2 lladdr 02:00:00:00:00:02 dev vbench0 nud permanent",
        s + "route add 10.232.0.0/16 via 10.231.0.2",
        r + "route add local 10.232.0.0/16 dev lo",
        "ip netns exec " + sender_ + " tc -batch " + batch_.string()};
  }

  // The qdisc, the classes with their queues, and a u32 filter hashed on the address's last byte.
  void WriteBatch(const Case& c) const {
    std::ofstream batch(batch_);
    const std::string dev = " dev vbench0 ", datagram = std::to_string(c.datagram);
    const std::string burst = " burst 1 cburst " + datagram;
    const std::string physical = std::to_string(c.physical) + "bit";
    batch << "qdisc add" << dev << "root handle 1: htb\n"
          << "class add" << dev << "parent 1: classid 1:1 htb rate " << physical << " ceil "
          << physical << " burst 1 cburst 1\n"
          << "filter add" << dev << "parent 1: prio 1 handle 2: protocol ip u32 divisor 256\n"
          << "filter add" << dev << "parent 1: prio 1 protocol ip u32 ht 800:: match ip dst "
          << "10.232.0.0/16 hashkey mask 0x000000ff at 16 link 2:\n";
    for (size_t k = 0; k < c.flows.size(); ++k) {
      const Flow& f = c.flows[k];
      const HtbClass h = HtbClassOf(c, f);
      const std::string id = "1:" + Hex(0x1000 + static_cast<unsigned>(k));
      const uint64_t queue = uint64_t{h.ceil} * kBufferMs / 8000 + c.datagram;
      batch << "class add" << dev << "parent 1:1 classid " << id << " htb rate " << h.rate
            << "bit ceil " << h.ceil << "bit" << burst << " quantum " << h.quantum << "\n"
            << "qdisc add" << dev << "parent " << id << " bfifo limit " << queue << "\n"
            << "filter add" << dev << "parent 1: prio 1 protocol ip u32 ht 2:" << Hex(f.host & 0xff)
            << ": match ip dst 10.232." << (f.host >> 8) << "." << (f.host & 0xff) << "/32 flowid "
            << id << "\n";
    }
  }

  static bool RunAll(const std::vector<std::string>& commands) {
    for (const std::string& command : commands) {
      if (Shell(command) != 0) {
        std::printf("  tc HTB: \"%s\" failed; skipped\n", command.c_str());
        return false;
      }
    }
    return true;
  }

  std::string sender_, receiver_;
  std::filesystem::path batch_;
  bool ready_ = false;
};

// Plain UDP datagrams to every flow's own address, filed by the destination they reached.
Path HtbPath(const HtbBed& bed) {
  // On the veth the shaper counts the Ethernet, IPv4 and UDP headers around what is received.
  constexpr uint32_t kHeaders = 14 + 20 + 8;
  return {"tc HTB",
          bed.sender(),
          bed.receiver(),
          0x0ae80000,
          SocketAddress(htonl(INADDR_ANY), kHtbPort),
          true,
          0,
          kHeaders,
          [](uint32_t address, size_t bytes) {
            return Outgoing{SocketAddress(address, kHtbPort), std::vector<uint8_t>(bytes, 0x5a)};
          }};
}

std::optional<Outcome> RunHtb(const Case& c) {
  if (geteuid() != 0) {
    std::printf("  tc HTB: needs root for the network namespaces; skipped\n");
    return std::nullopt;
  }
  const HtbBed bed(c);
  if (!bed.ready()) return std::nullopt;
  const Path path = HtbPath(bed);
  const std::optional<Measurement> m = Measure(
      c, path, [] {}, [] {});
  if (!m) return std::nullopt;
  Outcome outcome = Report(c, path, HtbExpected(c), *m);
  PrintVerdict(outcome);
  return outcome;
}

// ---- Main ----

struct Options {
  std::optional<seconds> measured;
  std::vector<std::string> cases;
  bool velmora = true, htb = true;
};

std::optional<Options> ParseOptions(int argc, char** argv) {
  if (argc % 2 == 0) return std::nullopt;
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i], value = argv[i + 1];
    if (key == "--seconds") {
      options.measured = seconds(std::max(1, std::atoi(value.c_str())));
    } else if (key == "--case") {
      options.cases.push_back(value);
    } else if (key == "--shaper" && (value == "velmora" || value == "htb")) {
      options.velmora = value == "velmora";
      options.htb = value == "htb";
    } else {
      return std::nullopt;
    }
  }
  return options;
}

void PrintCase(const Case& c) {
  double offered = 0;
  for (const Flow& f : c.flows) offered += f.offered;
  std::printf(
      "case %s: physical bandwidth %u bit/s, %zu address(es) in %zu profile(s) offered %.0f "
      "bit/s in %zu-byte datagrams, %lld s measured after a %lld s warm-up\n",
      c.name.c_str(), c.physical, c.flows.size(), c.profiles.size(), offered, c.datagram,
      static_cast<long long>(c.measured.count()), static_cast<long long>(c.warm_up.count()));
}

void PrintSummary(const std::vector<Outcome>& outcomes) {
  std::printf("\n%-12s %-8s %14s %26s %s\n", "case", "shaper", "total vs phys",
              "busiest 270 ms / limit", "targets");
  for (const Outcome& o : outcomes) {
    std::printf("%-12s %-8s %13.2f%% %12llu / %-11llu %s\n", o.case_name.c_str(), o.shaper.c_str(),
                o.total_error, static_cast<unsigned long long>(o.busiest),
                static_cast<unsigned long long>(o.limit), o.missed.empty() ? "met" : "NOT MET");
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Options> options = ParseOptions(argc, argv);
  std::vector<Case> cases = AllCases();
  std::string names;
  for (const Case& c : cases) names += " " + c.name;
  if (!options) {
    std::fprintf(stderr,
                 "usage: %s [--seconds N] [--case NAME]... [--shaper velmora|htb]\ncases:%s\n",
                 argv[0], names.c_str());
    return 2;
  }
  for (const std::string& name : options->cases) {
    if (std::none_of(cases.begin(), cases.end(), [&](const Case& c) { return c.name == name; })) {
      std::fprintf(stderr, "unknown case %s; cases:%s\n", name.c_str(), names.c_str());
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  std::vector<Outcome> outcomes;
  for (Case& c : cases) {
    if (!options->cases.empty() &&
        std::find(options->cases.begin(), options->cases.end(), c.name) == options->cases.end())
      continue;
    if (options->measured) c.measured = *options->measured;
    PrintCase(c);
    std::optional<Outcome> velmora, htb;
    if (options->velmora) velmora = RunVelmora(c);
    if (options->htb) htb = RunHtb(c);
    for (const std::optional<Outcome>& outcome : {velmora, htb})
      if (outcome) outcomes.push_back(*outcome);
  }
  PrintSummary(outcomes);
  return 0;
}
