#pragma once

// The checks the frame fuzz targets of the sources share: the ARP responder's verdict is the
// outcome of its answer and an answer keeps the frame's length; a resolved datagram is the frame
// behind its 8-byte header; nothing may be read past the frame (ASan).
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "packet/arp_reply.h"
#include "packet/corvid_frame.h"
#include "packet/packet_dump.h"
#include "testing/corvid_frames.h"

namespace velmora::fuzzing {

// Any bytes as an ARP frame, answered for the hosts of `tables` unless `allowed` leaves its
// sender out, with the log line of the outcome.
inline void AnswerArp(const uint8_t* data, size_t size, const TableSnapshot& tables, bool dvb,
                      std::span<const uint32_t> allowed = {}) {
  std::vector<uint8_t> frame(data, data + size);
  const uint32_t own[] = {DottedToAddress("192.168.254.1")};
  const ArpContext context{.tables = tables,
                           .dvb = dvb,
                           .inserter = DottedToAddress("10.1.0.9"),
                           .own_addresses = own,
                           .allowed_senders = allowed};
  const ArpOutcome verdict = ArpVerdict(frame, context);
  const ArpOutcome outcome = ArpReply(frame, context);
  if (frame.size() != size || outcome != verdict) std::abort();
  ArpLogLine(outcome, frame, 3);
}

// Any bytes as a frame in a slot, decoded by `decoder`, with the dump the frame threads log.
template <typename Decoder>
void DecodeInSlot(const uint8_t* data, size_t size, const TableSnapshot& tables, bool dvb,
                  const Decoder& decoder) {
  std::vector<uint8_t> slot = testing::InSlot(data, size);
  const CorvidFrame result = decoder(slot, tables, dvb);
  const bool resolved = result.outcome == CorvidOutcome::kResolved;
  if (resolved && result.datagram.size() != slot.size()) std::abort();
  PacketDump({slot.data() + (slot.size() - size), size}, 3);
}

}  // namespace velmora::fuzzing
