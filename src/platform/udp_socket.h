#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/datagram_batch.h"
#include "platform/socket_handle.h"

namespace velmora {

class Log;

// A UDP datagram socket of the packet path: the transparent port, the sending thread, the
// multicast memberships. Every live one is registered, so that CloseAll ends all their blocking
// receives when the service stops. Failures throw cerrorcode. One thread receives; Close and
// CloseAll may come from any thread.
class UdpSocket {
 public:
  static constexpr size_t kMaxDatagram = 16384;

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
  // Asks for the packet path's receive buffer (see SizeReceiveBuffer) and logs at level 3 what
  // the system gave.
  void SizeReceiveBuffer();
  // Waits for a datagram and takes it with every other one waiting, up to the batch's room: 0,
  // or -1 when the socket was closed or failed. Empty datagrams are skipped, and one longer than
  // a slot of the batch (or than kMaxDatagram) is logged and refused, never handed on cut short,
  // so the batch may come back empty.
  int32_t ReceiveBatch(DatagramBatch& batch);
  // Connects to the peer, so that the system reports a peer that is not listening (connection
  // refused) on the next send.
  void Connect();
  // One datagram to the peer: 0, or -1 on failure with the code in send_error().
  int32_t SendTo(const void* bytes, size_t length);
  int32_t SendTo(std::string_view data);
  // The datagrams to the connected peer in order, kDatagramBatch to a system call: how many were
  // sent from the first on. When that is fewer than all, the next one failed, with the code in
  // send_error().
  size_t SendBatch(std::span<const std::span<const uint8_t>> datagrams);
  // The port bound to (the one the system chose for port 0).
  uint16_t local_port() { return handle_.LocalPort(); }
  int32_t send_error() const { return send_error_; }
  void Close() { handle_.Close(); }
  // Closes every live UdpSocket: the service stop's way to end all its receiving threads.
  static void CloseAll();

 private:
  void BindTo(uint32_t address, uint16_t port);
  // One sendmmsg of at most kDatagramBatch datagrams.
  ssize_t SendSome(std::span<const std::span<const uint8_t>> datagrams);
  void Membership(int option, uint32_t group, uint32_t interface, const char* error_text);

  Log& log_;
  SocketHandle handle_;
  sockaddr_in peer_{};
  bool connected_ = false;
  int32_t send_error_ = 0;
};

}  // namespace velmora
