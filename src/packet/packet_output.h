#pragma once

#include <atomic>
#include <cstdint>
#include <span>

namespace velmora {

class OutputQueue;
namespace TessaroBWControl {
class BWCController;
}

// Where every source hands its finished inserter datagrams: while bandwidth management runs, the
// queue of the destination in the bandwidth controller; otherwise the output queue that the
// sending thread empties, where a source blocks while the queue is full. Any source thread may
// call HandOver.
class PacketOutput {
 public:
  PacketOutput(OutputQueue& queue, TessaroBWControl::BWCController& bandwidth,
               const std::atomic<bool>& bandwidth_running)
      : queue_(queue), bandwidth_(bandwidth), bandwidth_running_(bandwidth_running) {}

  // False when the datagram was not taken: the service stopped before it could be queued, or
  // the bandwidth controller had no room or no queue for it.
  bool HandOver(std::span<const uint8_t> datagram);

 private:
  OutputQueue& queue_;
  TessaroBWControl::BWCController& bandwidth_;
  const std::atomic<bool>& bandwidth_running_;
};

}  // namespace velmora
