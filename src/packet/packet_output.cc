#include "packet/packet_output.h"

#include "bandwidth/bwc_controller.h"
#include "packet/output_queue.h"

namespace velmora {

bool PacketOutput::HandOver(std::span<const uint8_t> datagram) {
  if (bandwidth_running_) {
    return bandwidth_.Enqueue(datagram) == TessaroBWControl::BWCController::EnqueueResult::kQueued;
  }
  return queue_.Push(datagram);
}

}  // namespace velmora
