// transparent-send: sends IPv4/UDP packets wrapped in the inserter format to the router's
// transparent port, for a first test of a running router.

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "traffic/udp_frame.h"

namespace {

int Usage(std::FILE* out, int result) {
  std::fprintf(out,
               "usage: transparent-send [--router ADDRESS] [--port N] [--to ADDRESS] [--pid N]\n"
               "                        [--size BYTES] [--count N] [--interval-ms MS]\n"
               "Sends COUNT (default 1) UDP packets to ADDRESS (default 10.0.0.5) through the\n"
               "transparent port N (default 6100) of the router at ADDRESS (default 127.0.0.1).\n"
               "PID 0 (the default) asks the router to pass the packet through unresolved;\n"
               "any other PID makes it resolve PID and MAC from its tables. BYTES is the UDP\n"
               "payload (default 100).\n");
  return result;
}

uint32_t Address(const char* text) {
  in_addr address{};
  if (inet_pton(AF_INET, text, &address) != 1) {
    std::fprintf(stderr, "transparent-send: %s is not an IPv4 address\n", text);
    std::exit(2);
  }
  return address.s_addr;
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t router = Address("127.0.0.1"), to = Address("10.0.0.5");
  long port = 6100, pid = 0, size = 100, count = 1, interval_ms = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help") return Usage(stdout, 0);
    if (i + 1 >= argc) return Usage(stderr, 2);
    const char* value = argv[++i];
    long* number = arg == "--port"          ? &port
                   : arg == "--pid"         ? &pid
                   : arg == "--size"        ? &size
                   : arg == "--count"       ? &count
                   : arg == "--interval-ms" ? &interval_ms
                                            : nullptr;
    if (arg == "--router") {
      router = Address(value);
    } else if (arg == "--to") {
      to = Address(value);
    } else if (number != nullptr) {
      char* end = nullptr;
      *number = std::strtol(value, &end, 0);
      if (*end != '\0' || *number < 0) return Usage(stderr, 2);
    } else {
      return Usage(stderr, 2);
    }
  }
  if (port > 65535 || pid > 0xffff || size > 4000) return Usage(stderr, 2);
  const std::vector<uint8_t> payload(static_cast<size_t>(size), 0x5a);
  const std::vector<uint8_t> datagram = velmora::TransparentUdpDatagram(
      Address("192.0.2.1"), to, 9, static_cast<uint16_t>(pid), payload);
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<uint16_t>(port));
  at.sin_addr.s_addr = router;
  for (long i = 0; i < count; ++i) {
    if (::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&at),
                 sizeof at) < 0) {
      std::fprintf(stderr, "transparent-send: %s\n", std::strerror(errno));
      return 1;
    }
    if (interval_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(interval_ms));
  }
  std::printf("sent %ld datagram(s) of %zu bytes\n", count, datagram.size());
  ::close(fd);
  return 0;
}
