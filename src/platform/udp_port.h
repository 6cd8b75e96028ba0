#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <span>

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
  // One datagram into `buffer`: its size, or -1 when none is waiting; `from` is its sender.
  ssize_t Receive(std::span<uint8_t> buffer, sockaddr_in& from);
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
