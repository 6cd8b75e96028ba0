#include "packet/packet_output.h"

#include "packet/output_queue.h"

namespace velmora {

bool PacketOutput::HandOver(std::span<const uint8_t> datagram) {
  return queue_.Push(datagram);
}

}  // namespace velmora
