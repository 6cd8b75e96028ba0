#include "bouncer/link_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "traffic/udp_frame.h"

namespace velmora {

namespace {

// Large enough for any UDP payload, so that a long one is seen whole and dropped, not cut.
constexpr size_t kReceiveBuffer = 65536;
// The socket buffers the bouncer asks for, so that a burst waits whole.
constexpr int kSocketBuffer = 4 << 20;

sockaddr_in SocketAddress(uint32_t address, uint16_t port) {
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = address;
  at.sin_port = htons(port);
  return at;
}

std::string AddressText(uint32_t address) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

std::string Endpoint(uint32_t address, uint16_t port) {
  return AddressText(address) + ":" + std::to_string(port);
}

int OpenReceiver(const BouncerLink& link, std::string& problem) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    problem = std::string("no socket: ") + std::strerror(errno);
    return -1;
  }
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kSocketBuffer, sizeof kSocketBuffer);
  const sockaddr_in at = SocketAddress(link.receive_bind_ip, link.receive_port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
    problem = "cannot receive on " + Endpoint(link.receive_bind_ip, link.receive_port) + ": " +
              std::strerror(errno);
    ::close(fd);
    return -1;
  }
  if (link.receive_multicast_ip) {
    ip_mreq group{};
    group.imr_multiaddr.s_addr = *link.receive_multicast_ip;
    group.imr_interface.s_addr = link.receive_bind_ip;
    if (::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group) != 0) {
      problem = "cannot join " + Endpoint(*link.receive_multicast_ip, link.receive_port) + ": " +
                std::strerror(errno);
      ::close(fd);
      return -1;
    }
  }
  return fd;
}

}  // namespace

bool WrapForInserter(const BouncerLink& link, uint32_t source, uint16_t source_port,
                     uint16_t identification, std::span<const uint8_t> payload,
                     std::vector<uint8_t>& out) {
  out.clear();
  if (kWrappingSize + payload.size() > kMaxInserterDatagram) return false;
  AppendQosHeader(link.destination_ip, link.stream_pid, out);
  AppendIpv4UdpFrame({.destination_mac = link.destination_mac,
                      .source = source,
                      .destination = link.destination_ip,
                      .source_port = source_port,
                      .destination_port = link.destination_port,
                      .identification = identification,
                      .udp_checksum = true},
                     payload, out);
  return true;
}

std::unique_ptr<LinkRelay> LinkRelay::Open(const BouncerLink& link, Logger log,
                                           std::string& problem) {
  const int receive_fd = OpenReceiver(link, problem);
  if (receive_fd < 0) return nullptr;
  const int send_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (send_fd < 0) {
    problem = std::string("no socket: ") + std::strerror(errno);
    ::close(receive_fd);
    return nullptr;
  }
  ::setsockopt(send_fd, SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof kSocketBuffer);
  return std::unique_ptr<LinkRelay>(new LinkRelay(link, std::move(log), receive_fd, send_fd));
}

LinkRelay::LinkRelay(const BouncerLink& link, Logger log, int receive_fd, int send_fd)
    : link_(link),
      log_(std::move(log)),
      receive_fd_(receive_fd),
      send_fd_(send_fd),
      buffer_(kReceiveBuffer) {
  datagram_.reserve(kMaxInserterDatagram);
}

LinkRelay::~LinkRelay() {
  ::close(receive_fd_);
  ::close(send_fd_);
}

void LinkRelay::RepeatWaiting() {
  for (;;) {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t n = ::recvfrom(receive_fd_, buffer_.data(), buffer_.size(), 0,
                                 reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0) return;  // nothing more waits (or the socket failed: poll tells again)
    Repeat(std::span<const uint8_t>(buffer_.data(), static_cast<size_t>(n)), from.sin_addr.s_addr,
           ntohs(from.sin_port));
  }
}

void LinkRelay::Repeat(std::span<const uint8_t> payload, uint32_t source, uint16_t source_port) {
  sockaddr_in to = SocketAddress(link_.destination_ip, link_.destination_port);
  std::span<const uint8_t> bytes = payload;
  if (link_.add_qos_headers) {
    if (!WrapForInserter(link_, source, source_port, identification_++, payload, datagram_)) {
      ++dropped_;
      log_("link " + std::to_string(link_.number) + ": a payload of " +
           std::to_string(payload.size()) + " bytes from " + Endpoint(source, source_port) +
           " does not fit an inserter datagram of " + std::to_string(kMaxInserterDatagram) +
           " bytes: dropped");
      return;
    }
    to = SocketAddress(link_.send_ip, link_.send_port);
    bytes = datagram_;
  }
  if (::sendto(send_fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to) < 0) {
    ++dropped_;
    log_("link " + std::to_string(link_.number) + ": cannot send to " +
         Endpoint(to.sin_addr.s_addr, ntohs(to.sin_port)) + ": " + std::strerror(errno));
    return;
  }
  ++repeated_;
}

std::string LinkRelay::Describe() const {
  std::string text = "link " + std::to_string(link_.number) + ": " +
                     Endpoint(link_.receive_bind_ip, link_.receive_port);
  if (link_.receive_multicast_ip) text += " group " + AddressText(*link_.receive_multicast_ip);
  text += " to " + Endpoint(link_.destination_ip, link_.destination_port);
  if (!link_.add_qos_headers) return text;
  char pid[8];
  std::snprintf(pid, sizeof pid, "0x%04X", link_.stream_pid);
  return text + " through the inserter at " + Endpoint(link_.send_ip, link_.send_port) +
         " as PID " + pid + " MAC " + MacText(link_.destination_mac);
}

}  // namespace velmora
