#include "bouncer/link_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/address_text.h"
#include "platform/receive_buffer.h"
#include "traffic/udp_frame.h"

namespace velmora {

namespace {

// The longest payload of a UDP datagram over IPv4.
constexpr size_t kLargestUdp = 65507;

std::string Endpoint(uint32_t address, uint16_t port) {
  return AddressToDotted(address) + ":" + std::to_string(port);
}

int OpenReceiver(const BouncerLink& link, std::string& problem) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    problem = std::string("no socket: ") + std::strerror(errno);
    return -1;
  }
  SizeReceiveBuffer(fd);
  // Multicast reaches only a socket bound to the group or to any address: receive_bind_ip then
  // names the interface that joins the group.
  const uint32_t bound = link.receive_multicast_ip.value_or(link.receive_bind_ip);
  const sockaddr_in at = SocketAddress(bound, link.receive_port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
    problem =
        "cannot receive on " + Endpoint(bound, link.receive_port) + ": " + std::strerror(errno);
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
  return std::unique_ptr<LinkRelay>(new LinkRelay(link, std::move(log), receive_fd, send_fd));
}

LinkRelay::LinkRelay(const BouncerLink& link, Logger log, int receive_fd, int send_fd)
    : link_(link),
      log_(std::move(log)),
      receive_fd_(receive_fd),
      send_fd_(send_fd),
      to_(link.add_qos_headers ? SocketAddress(link.send_ip, link.send_port)
                               : SocketAddress(link.destination_ip, link.destination_port)),
      // A wrapped payload longer than fits is seen as longer than that, and dropped.
      received_(link.add_qos_headers ? kMaxInserterDatagram - kWrappingSize + 1 : kLargestUdp),
      wrapped_(link.add_qos_headers ? kDatagramBatch : 0),
      outgoing_(kDatagramBatch),
      vectors_(kDatagramBatch) {
  for (std::vector<uint8_t>& datagram : wrapped_) datagram.reserve(kMaxInserterDatagram);
  for (size_t i = 0; i < kDatagramBatch; ++i) {
    outgoing_[i].msg_hdr = {};
    outgoing_[i].msg_hdr.msg_name = &to_;
    outgoing_[i].msg_hdr.msg_namelen = sizeof to_;
    outgoing_[i].msg_hdr.msg_iov = &vectors_[i];
    outgoing_[i].msg_hdr.msg_iovlen = 1;
  }
}

LinkRelay::~LinkRelay() {
  ::close(receive_fd_);
  ::close(send_fd_);
}

void LinkRelay::Run() {
  while (!stopping_) RepeatBatch();
}

void LinkRelay::Stop() {
  stopping_ = true;
  // Wakes the receive; the socket reports an error for it that Run does not heed.
  ::shutdown(receive_fd_, SHUT_RD);
}

void LinkRelay::RepeatBatch() {
  mmsghdr* headers = received_.PrepareReceive();
  const int count = ::recvmmsg(receive_fd_, headers, kDatagramBatch, MSG_WAITFORONE, nullptr);
  // After Stop the socket returns empty datagrams at once: none of them is the stream's.
  if (count <= 0 || stopping_) return;
  for (int i = 0; i < count; ++i) received_.Keep(static_cast<size_t>(i), headers[i].msg_len);
  size_t outgoing = 0;
  for (size_t i = 0; i < received_.size(); ++i) {
    if (Prepare(i, outgoing)) ++outgoing;
  }
  Send(outgoing);
}

bool LinkRelay::Prepare(size_t i, size_t outgoing) {
  const std::span<uint8_t> payload = received_[i];
  if (!link_.add_qos_headers) {
    vectors_[outgoing] = {payload.data(), payload.size()};
    return true;
  }
  const sockaddr_in& from = received_.from(i);
  std::vector<uint8_t>& datagram = wrapped_[outgoing];
  if (!WrapForInserter(link_, from.sin_addr.s_addr, ntohs(from.sin_port), identification_++,
                       payload, datagram)) {
    ++dropped_;
    log_("link " + std::to_string(link_.number) + ": a payload of more than " +
         std::to_string(kMaxInserterDatagram - kWrappingSize) + " bytes from " +
         Endpoint(from.sin_addr.s_addr, ntohs(from.sin_port)) +
         " does not fit an inserter datagram of " + std::to_string(kMaxInserterDatagram) +
         " bytes: dropped");
    return false;
  }
  vectors_[outgoing] = {datagram.data(), datagram.size()};
  return true;
}

void LinkRelay::Send(size_t count) {
  for (size_t done = 0; done < count;) {
    const int sent =
        ::sendmmsg(send_fd_, outgoing_.data() + done, static_cast<unsigned>(count - done), 0);
    if (sent <= 0) {
      ReportSendFailure(errno);
      ++dropped_;
      ++done;
      continue;
    }
    done += static_cast<size_t>(sent);
    repeated_ += static_cast<size_t>(sent);
  }
}

void LinkRelay::ReportSendFailure(int error) {
  ++unreported_send_failures_;
  const auto now = std::chrono::steady_clock::now();
  if (now < next_send_report_) return;
  next_send_report_ = now + std::chrono::seconds(1);
  log_("link " + std::to_string(link_.number) + ": cannot send to " +
       Endpoint(to_.sin_addr.s_addr, ntohs(to_.sin_port)) + ": " + std::strerror(error) + " (" +
       std::to_string(unreported_send_failures_) + " datagram(s) dropped)");
  unreported_send_failures_ = 0;
}

std::string LinkRelay::Describe() const {
  std::string text = "link " + std::to_string(link_.number) + ": " +
                     Endpoint(link_.receive_bind_ip, link_.receive_port);
  if (link_.receive_multicast_ip) text += " group " + AddressToDotted(*link_.receive_multicast_ip);
  text += " to " + Endpoint(link_.destination_ip, link_.destination_port);
  if (!link_.add_qos_headers) return text;
  char pid[8];
  std::snprintf(pid, sizeof pid, "0x%04X", link_.stream_pid);
  return text + " through the inserter at " + Endpoint(link_.send_ip, link_.send_port) +
         " as PID " + pid + " MAC " + MacText(link_.destination_mac);
}

}  // namespace velmora
