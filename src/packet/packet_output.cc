#include "packet/packet_output.h"

#include "bandwidth/bwc_controller.h"
#include "packet/output_queue.h"

namespace velmora {

void PacketOutput::HandOver(std::span<const std::span<const uint8_t>> datagrams) {
  if (!bandwidth_running_) {
    queue_.Push(datagrams);
    return;
  }
  bandwidth_.Enqueue(datagrams);
}

}  // namespace velmora
