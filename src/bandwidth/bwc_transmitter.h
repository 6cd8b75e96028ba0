#pragma once

#include <cstdint>
#include <span>

namespace velmora::TessaroBWControl {

// Where the paced sender's datagrams go: a UDP socket aimed at the inserter, or a recorder in
// tests. Used by the sender thread and by SetDestination, always under the sender's lock.
class BWCTransmitter {
 public:
  virtual ~BWCTransmitter() = default;
  // Aims at `address` (network order) and `port`; false when no socket could be opened.
  virtual bool Open(uint32_t address, uint16_t port) = 0;
  virtual void Close() = 0;
  // 0 when sent, otherwise the socket error code.
  virtual int32_t Send(std::span<const uint8_t> datagram) = 0;
};

// The real transmitter: an unconnected IPv4 UDP socket of its own, outside the packet path's
// socket registry, because the paced sender outlives every service start and stop.
class UdpTransmitter final : public BWCTransmitter {
 public:
  ~UdpTransmitter() override { Close(); }
  bool Open(uint32_t address, uint16_t port) override;
  void Close() override;
  int32_t Send(std::span<const uint8_t> datagram) override;

 private:
  int fd_ = -1;
  uint32_t address_ = 0;
  uint16_t port_ = 0;
};

}  // namespace velmora::TessaroBWControl
