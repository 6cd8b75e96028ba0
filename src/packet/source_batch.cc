#include "packet/source_batch.h"

#include "packet/packet_output.h"

namespace velmora {

void SourceBatch::Deliver(TrafficStatistics& statistics, PacketOutput& output) {
  if (packet_count_ > 0) statistics.CountPackets({packets_.data(), packet_count_});
  if (datagram_count_ > 0) output.HandOver({datagrams_.data(), datagram_count_});
  datagram_count_ = 0;
  packet_count_ = 0;
}

}  // namespace velmora
