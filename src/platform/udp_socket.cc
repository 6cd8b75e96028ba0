#include "platform/udp_socket.h"

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <mutex>
#include <set>

#include "platform/receive_buffer.h"
#include "platform/socket_error.h"
#include "support/cerrorcode.h"
#include "support/log.h"

namespace velmora {

namespace {

// The live UDP sockets.
struct Registry {
  std::mutex mutex;
  std::set<UdpSocket*> sockets;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

int NewUdpSocket(Log& log) {
  if (log.level() >= 3) log << "UDPsocket...";
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) ThrowSocketError();
  const int size = 65536;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  return fd;
}

}  // namespace

UdpSocket::UdpSocket(Log& log) : log_(log), handle_(NewUdpSocket(log)) {
  peer_.sin_family = AF_INET;
  {
    std::lock_guard lock(TheRegistry().mutex);
    TheRegistry().sockets.insert(this);
  }
  if (log_.level() >= 3) log_ << " #" << handle_.number() << "...\n";
}

UdpSocket::~UdpSocket() {
  {
    std::lock_guard lock(TheRegistry().mutex);
    TheRegistry().sockets.erase(this);
  }
  if (log_.level() >= 3) log_ << "UDP socket " << handle_.number() << " closed...\n";
}

void UdpSocket::CloseAll() {
  std::lock_guard lock(TheRegistry().mutex);
  for (UdpSocket* socket : TheRegistry().sockets) socket->Close();
}

void UdpSocket::AllowAddressReuse() {
  handle_.Use([](int fd) {
    const int on = 1;
    return ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  });
}

void UdpSocket::Bind(uint16_t port) {
  BindTo(htonl(INADDR_ANY), port);
}

void UdpSocket::Bind(uint32_t local_address, uint16_t port) {
  BindTo(local_address, port);
}

void UdpSocket::BindTo(uint32_t address, uint16_t port) {
  if (log_.level() >= 3) log_ << "OK\nBinding on port " << port << "...";
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = address;
  const ssize_t result = handle_.Use([&local](int fd) {
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
  });
  // The service stop closed the socket before the thread could bind it: no port was in use.
  if (result != 0 && handle_.closed()) throw cerrorcode(cerrorcode::kInterrupted);
  if (result != 0) {
    log_ << "Error " << cerrorcode::kPortInUse << " - port already in use\n";
    handle_.Close();
    throw cerrorcode(cerrorcode::kPortInUse);
  }
  if (log_.level() >= 3) log_ << "OK\n";
}

void UdpSocket::Membership(int option, uint32_t group, uint32_t interface, const char* error_text) {
  ip_mreq request{};
  request.imr_multiaddr.s_addr = group;
  request.imr_interface.s_addr = interface;
  const ssize_t result = handle_.Use(
      [&](int fd) { return ::setsockopt(fd, IPPROTO_IP, option, &request, sizeof request); });
  if (result != 0) {
    const int32_t code = SocketErrorCode(errno);
    log_ << error_text << code << "\n";
    throw cerrorcode(code);
  }
  if (log_.level() >= 3) log_ << "OK\n";
}

void UdpSocket::Join(uint32_t group, uint32_t interface) {
  Membership(IP_ADD_MEMBERSHIP, group, interface, "Join error ");
}

void UdpSocket::Leave(uint32_t group, uint32_t interface) {
  Membership(IP_DROP_MEMBERSHIP, group, interface, "Disjoin error ");
}

void UdpSocket::SetPeer(uint32_t address, uint16_t port) {
  peer_.sin_family = AF_INET;
  peer_.sin_port = htons(port);
  peer_.sin_addr.s_addr = address;
}

void UdpSocket::SizeReceiveBuffer() {
  const auto got =
      static_cast<int32_t>(handle_.Use([](int fd) { return velmora::SizeReceiveBuffer(fd); }));
  if (log_.level() >= 3) {
    log_ << "UDP socket " << handle_.number() << ": receive buffer of " << got << " bytes\n";
  }
}

int32_t UdpSocket::ReceiveBatch(DatagramBatch& batch) {
  mmsghdr* headers = batch.PrepareReceive();
  const ssize_t received = handle_.Use([&](int fd) {
    return ::recvmmsg(fd, headers, kDatagramBatch, MSG_WAITFORONE | MSG_TRUNC, nullptr);
  });
  if (received < 0) return -1;
  const size_t room = std::min(batch.capacity(), kMaxDatagram);
  for (size_t i = 0; i < static_cast<size_t>(received); ++i) {
    const size_t length = batch.received(i).msg_len;
    // A socket shut down by Close reads as an empty datagram from nobody.
    if (length == 0 && handle_.closed()) return -1;
    if (length > room) {
      log_ << "Datagram of " << static_cast<int32_t>(length) << " bytes refused (over "
           << static_cast<int32_t>(room) << ")\n";
    } else if (length > 0) {
      batch.Keep(i, length);
    }
  }
  return 0;
}

void UdpSocket::Connect() {
  const ssize_t result = handle_.Use([this](int fd) {
    return ::connect(fd, reinterpret_cast<const sockaddr*>(&peer_), sizeof peer_);
  });
  // The service stop closed the socket before the thread could connect it.
  if (result != 0 && handle_.closed()) throw cerrorcode(cerrorcode::kInterrupted);
  if (result != 0) ThrowSocketError();
  connected_ = true;
}

int32_t UdpSocket::SendTo(const void* bytes, size_t length) {
  const ssize_t sent = handle_.Use([&](int fd) {
    if (connected_) return ::send(fd, bytes, length, MSG_NOSIGNAL);
    return ::sendto(fd, bytes, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&peer_),
                    sizeof peer_);
  });
  if (sent >= 0) return 0;
  send_error_ = SocketErrorCode(errno);
  return -1;
}

int32_t UdpSocket::SendTo(std::string_view data) {
  return SendTo(data.data(), data.size());
}

size_t UdpSocket::SendBatch(std::span<const std::span<const uint8_t>> datagrams) {
  size_t done = 0;
  while (done < datagrams.size()) {
    const size_t count = std::min(datagrams.size() - done, kDatagramBatch);
    const ssize_t sent = SendSome(datagrams.subspan(done, count));
    if (sent < 0) {
      send_error_ = SocketErrorCode(errno);
      return done;
    }
    done += static_cast<size_t>(sent);
    if (static_cast<size_t>(sent) == count || done == datagrams.size()) continue;
    // A batch cut short does not say why its next datagram failed: a refusal of the peer that
    // was pending is used up by it and not reported. That datagram goes once more alone, which
    // either sends it or reports why not.
    if (SendTo(datagrams[done].data(), datagrams[done].size()) != 0) return done;
    ++done;
  }
  return done;
}

ssize_t UdpSocket::SendSome(std::span<const std::span<const uint8_t>> datagrams) {
  std::array<iovec, kDatagramBatch> vectors;
  std::array<mmsghdr, kDatagramBatch> headers;
  for (size_t i = 0; i < datagrams.size(); ++i) {
    vectors[i] = {const_cast<uint8_t*>(datagrams[i].data()), datagrams[i].size()};
    headers[i] = {};
    headers[i].msg_hdr.msg_iov = &vectors[i];
    headers[i].msg_hdr.msg_iovlen = 1;
  }
  return handle_.Use([&](int fd) {
    return ::sendmmsg(fd, headers.data(), static_cast<unsigned>(datagrams.size()), MSG_NOSIGNAL);
  });
}

}  // namespace velmora
