#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

namespace velmora {

class OutputQueue;
namespace TessaroBWControl {
class BWCController;
}

// Where every source hands its finished inserter datagrams, a batch at a time: while bandwidth
// management runs, each to the queue of its destination in the bandwidth controller; otherwise
// all to the output queue that the sending thread empties, where a source blocks while the queue
// is full. Any source thread may call HandOver.
class PacketOutput {
 public:
  PacketOutput(OutputQueue& queue, TessaroBWControl::BWCController& bandwidth,
               const std::atomic<bool>& bandwidth_running)
      : queue_(queue), bandwidth_(bandwidth), bandwidth_running_(bandwidth_running) {}

  // What is not taken (the service stopped, the bandwidth controller had no room or no queue for
  // a datagram) is dropped; the bandwidth controller counts and logs its own.
  void HandOver(std::span<const std::span<const uint8_t>> datagrams);
  // Whether datagrams go to the output queue now (so that one longer than its slot is lost).
  bool queue_in_use() const { return !bandwidth_running_; }

 private:
  OutputQueue& queue_;
  TessaroBWControl::BWCController& bandwidth_;
  const std::atomic<bool>& bandwidth_running_;
};

}  // namespace velmora
