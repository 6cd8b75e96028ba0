#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <span>

#include "platform/datagram_batch.h"

namespace velmora {

// A UDP socket of a server that owns its thread (the L2TP server): bound to one address and
// port, read without blocking after a wait on its readiness and a wake-up descriptor. Not in the
// packet path's registry. The owning thread receives and sends; Wake may come from any thread.
class UdpPort {
 public:
  UdpPort();
  ~UdpPort();
  UdpPort(const UdpPort&) = delete;
  UdpPort& operator=(const UdpPort&) = delete;

  // 0, or the socket error code (10037 for a port in use).
  int32_t Bind(uint32_t address, uint16_t port);
  uint16_t local_port() const;
  // Asks for the packet path's receive buffer (see SizeReceiveBuffer): the size the system gave.
  int SizeReceiveBuffer();
  // Every datagram waiting, up to the batch's room, without waiting for one. A datagram longer
  // than the batch's slots is dropped, never handed on cut short.
  void ReceiveBatch(DatagramBatch& batch);
  // 0 when sent, otherwise the socket error code.
  int32_t Send(const sockaddr_in& to, std::span<const uint8_t> datagram);

  enum class Wait { kReadable, kWoken, kTimeout };
  // Waits until a datagram waits, Wake was called, or `timeout` passed.
  Wait WaitFor(std::chrono::milliseconds timeout);
  void Wake();
  // Takes back a wake-up that was seen.
  void ClearWake();

 private:
  int fd_ = -1;
  int wake_fd_ = -1;
};

}  // namespace velmora
