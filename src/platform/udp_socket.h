#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/socket_handle.h"

namespace velmora {

class Log;

// Room for one received datagram of up to 16384 bytes, allocated once and reused, and the length
// of the datagram it holds.
class DatagramBuffer {
 public:
  static constexpr size_t kCapacity = 16384;
  DatagramBuffer() : bytes_(new uint8_t[kCapacity]) {}
  std::span<uint8_t> bytes() { return {bytes_.get(), length_}; }
  std::string_view text() const { return {reinterpret_cast<const char*>(bytes_.get()), length_}; }
  size_t size() const { return length_; }

 private:
  friend class UdpSocket;
  std::unique_ptr<uint8_t[]> bytes_;
  size_t length_ = 0;
};

// A UDP datagram socket of the packet path: the transparent port, the sending thread, the
// multicast memberships. Every live one is registered, so that CloseAll ends all their blocking
// receives when the service stops. Failures throw cerrorcode. One thread receives; Close and
// CloseAll may come from any thread.
class UdpSocket {
 public:
  static constexpr size_t kMaxDatagram = DatagramBuffer::kCapacity;

  explicit UdpSocket(Log& log);
  ~UdpSocket();
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // For a multicast membership socket, which shares its port: call before Bind.
  void AllowAddressReuse();
  // Binds any interface, or the given local address (network order), at `port`. A port in use
  // logs "Error 10037 - port already in use", closes the socket and throws cerrorcode 10037; a
  // socket closed already (the service stopped) throws cerrorcode 10004 and logs nothing.
  void Bind(uint16_t port);
  void Bind(uint32_t local_address, uint16_t port);
  // Multicast membership of `group` on the local interface `interface` (network order).
  void Join(uint32_t group, uint32_t interface);
  void Leave(uint32_t group, uint32_t interface);

  void SetPeer(uint32_t address, uint16_t port);
  const sockaddr_in& peer() const { return peer_; }
  // One datagram: 0, or -4080 for an empty one; -1 (data empty) on failure, when the socket was
  // closed, and for a datagram over 16384 bytes, which is never handed on cut short. The
  // sender becomes the peer.
  int32_t Receive(DatagramBuffer& data);
  // Connects to the peer, so that the system reports a peer that is not listening (connection
  // refused) on the next send.
  void Connect();
  // One datagram to the peer: 0, or -1 on failure with the code in send_error().
  int32_t SendTo(const void* bytes, size_t length);
  int32_t SendTo(std::string_view data);

  // The port bound to (the one the system chose for port 0).
  uint16_t local_port() { return handle_.LocalPort(); }
  int32_t send_error() const { return send_error_; }
  void Close() { handle_.Close(); }
  // Closes every live UdpSocket: the service stop's way to end all its receiving threads.
  static void CloseAll();

 private:
  void BindTo(uint32_t address, uint16_t port);
  void Membership(int option, uint32_t group, uint32_t interface, const char* error_text);

  Log& log_;
  SocketHandle handle_;
  sockaddr_in peer_{};
  bool connected_ = false;
  int32_t send_error_ = 0;
};

}  // namespace velmora
