#pragma once

#include <cstdint>
#include <span>

namespace velmora {

class OutputQueue;

// Where every source hands its finished inserter datagrams: the output queue that the sending
// thread empties. Any source thread may call HandOver; it blocks while the queue is full.
class PacketOutput {
 public:
  explicit PacketOutput(OutputQueue& queue) : queue_(queue) {}

  // False when the service stopped before the datagram could be queued.
  bool HandOver(std::span<const uint8_t> datagram);

 private:
  OutputQueue& queue_;
};

}  // namespace velmora
