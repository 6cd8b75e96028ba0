// inserter-sink: a stand-in for the data inserter. Receives the router's datagrams on a UDP port,
// checks and decodes each one, prints a live summary per PID and can write the inner Ethernet
// frames to a pcap file. Malformed datagrams are counted and reported; they never stop it.

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "inserter_sink/pcap_writer.h"
#include "inserter_sink/pid_summary.h"
#include "inserter_sink/sink_decoder.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string bind = "127.0.0.1";
  uint16_t port = 8000;
  std::string pcap;
  double interval = 1.0;  // seconds between live summaries; 0: only the final one
  uint64_t count = 0;     // stop after this many datagrams; 0: run until a signal
  bool verbose = false;
};

std::atomic<bool> g_stop{false};

void OnSignal(int) {
  g_stop = true;
}

int Usage(std::FILE* out, int result) {
  std::fprintf(out,
               "usage: inserter-sink [--port N] [--bind ADDRESS] [--pcap FILE] [--interval S]\n"
               "                     [--count N] [--verbose]\n"
               "Receives inserter datagrams on ADDRESS:N (default 127.0.0.1:8000), checks and\n"
               "decodes them and prints per PID the datagrams, bytes and rate every S seconds\n"
               "(default 1, 0 for only the final summary). --pcap writes the inner Ethernet\n"
               "frames to FILE; --count stops after N datagrams; --verbose lists each one.\n");
  return result;
}

std::optional<Options> ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--verbose") {
      o.verbose = true;
      continue;
    }
    if (i + 1 >= argc) return std::nullopt;
    const char* value = argv[++i];
    char* end = nullptr;
    if (arg == "--port") {
      const long port = std::strtol(value, &end, 10);
      if (*end != '\0' || port < 0 || port > 65535) return std::nullopt;
      o.port = static_cast<uint16_t>(port);
    } else if (arg == "--bind") {
      o.bind = value;
    } else if (arg == "--pcap") {
      o.pcap = value;
    } else if (arg == "--interval") {
      o.interval = std::strtod(value, &end);
      if (*end != '\0' || o.interval < 0) return std::nullopt;
    } else if (arg == "--count") {
      o.count = std::strtoull(value, &end, 10);
      if (*end != '\0') return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  return o;
}

int OpenSocket(const Options& o) {
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(o.port);
  if (inet_pton(AF_INET, o.bind.c_str(), &at.sin_addr) != 1) {
    std::fprintf(stderr, "inserter-sink: %s is not an IPv4 address\n", o.bind.c_str());
    return -1;
  }
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int size = 4 << 20;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
    std::fprintf(stderr, "inserter-sink: cannot bind %s:%u: %s\n", o.bind.c_str(), o.port,
                 std::strerror(errno));
    ::close(fd);
    return -1;
  }
  return fd;
}

void InstallSignals() {
  struct sigaction action {};
  action.sa_handler = OnSignal;  // no SA_RESTART: poll returns at once
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

int Run(const Options& o, int fd) {
  std::unique_ptr<velmora::PcapWriter> pcap;
  if (!o.pcap.empty()) {
    pcap = std::make_unique<velmora::PcapWriter>(o.pcap);
    if (!pcap->ok()) {
      std::fprintf(stderr, "inserter-sink: cannot write %s\n", o.pcap.c_str());
      return 1;
    }
  }
  std::printf("inserter-sink: listening on %s:%u\n", o.bind.c_str(), o.port);
  std::fflush(stdout);
  velmora::PidSummary summary;
  std::vector<uint8_t> buffer(65536);
  Clock::time_point last_report = Clock::now();
  while (!g_stop && (o.count == 0 || summary.datagrams() < o.count)) {
    pollfd wait{fd, POLLIN, 0};
    if (::poll(&wait, 1, 100) > 0) {
      const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
      if (n >= 0) {
        const std::span<const uint8_t> bytes(buffer.data(), static_cast<size_t>(n));
        const velmora::SinkDatagram datagram = velmora::DecodeSinkDatagram(bytes);
        summary.Add(datagram, bytes.size());
        if (o.verbose) std::printf("%s\n", velmora::DescribeSinkDatagram(datagram).c_str());
        if (pcap && datagram.frame.size() > 0) {
          pcap->Write(datagram.frame, std::chrono::system_clock::now());
        }
      }
    }
    const Clock::time_point now = Clock::now();
    if (o.interval > 0 && now - last_report >= std::chrono::duration<double>(o.interval)) {
      std::printf("%s\n", summary.Report(now - last_report).c_str());
      std::fflush(stdout);
      last_report = now;
    }
  }
  std::printf("%s", summary.Report(Clock::now() - last_report).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) return Usage(stdout, 0);
  const std::optional<Options> options = ParseOptions(argc, argv);
  if (!options) return Usage(stderr, 2);
  InstallSignals();
  const int fd = OpenSocket(*options);
  if (fd < 0) return 1;
  const int result = Run(*options, fd);
  ::close(fd);
  return result;
}
