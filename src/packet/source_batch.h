#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/datagram_batch.h"
#include "stats/traffic_statistics.h"

namespace velmora {

class PacketOutput;

// What a source finished during one batch of received datagrams: the datagrams to hand over, in
// order, and the packets to count in the statistics. Both go on together at Deliver, so that a
// batch costs one hand-over, one wake-up of the sending thread and one statistics lock per shard.
// The datagrams are views: their bytes must stay put until Deliver. Owned by one source thread.
class SourceBatch {
 public:
  size_t size() const { return datagram_count_; }  // the datagrams added since Deliver
  bool full() const { return datagram_count_ == kDatagramBatch; }
  // Both false when the batch is full: Deliver first.
  void Add(std::span<const uint8_t> datagram) { datagrams_[datagram_count_++] = datagram; }
  void Count(uint32_t address, uint32_t length) { packets_[packet_count_++] = {address, length}; }
  // The statistics first, then the hand-over; empties the batch.
  void Deliver(TrafficStatistics& statistics, PacketOutput& output);

 private:
  std::array<std::span<const uint8_t>, kDatagramBatch> datagrams_;
  std::array<TrafficStatistics::Packet, kDatagramBatch> packets_{};
  size_t datagram_count_ = 0;
  size_t packet_count_ = 0;
};

}  // namespace velmora
