// Feeds any bytes as one frame read from the virtual adapter, to the ARP responder (with its log
// line) and to the frame decoder (with the dump the frame thread logs). The responder's verdict
// is the outcome of its answer; an answer keeps the frame's length; a resolved datagram is the
// frame behind its 8-byte header; nothing may be read past the frame (ASan).
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "packet/arp_reply.h"
#include "packet/corvid_frame.h"
#include "packet/inserter_datagram.h"
#include "packet/packet_dump.h"
#include "testing/corvid_frames.h"

namespace {

const velmora::TableSnapshot& Tables() {
  static const velmora::TableSnapshot tables = velmora::testing::SubnetWithOneRow();
  return tables;
}

void Answer(const uint8_t* data, size_t size, bool dvb) {
  std::vector<uint8_t> frame(data, data + size);
  const uint32_t own[] = {velmora::DottedToAddress("192.168.254.1")};
  const velmora::ArpContext context{.tables = Tables(),
                                    .dvb = dvb,
                                    .inserter = velmora::DottedToAddress("10.1.0.9"),
                                    .own_addresses = own};
  const velmora::ArpOutcome verdict = velmora::ArpVerdict(frame, context);
  const velmora::ArpOutcome outcome = velmora::ArpReply(frame, context);
  if (frame.size() != size || outcome != verdict) std::abort();
  velmora::ArpLogLine(outcome, frame, 3);
}

void Decode(const uint8_t* data, size_t size, bool dvb) {
  std::vector<uint8_t> slot(velmora::kQosHeaderSize);
  slot.insert(slot.end(), data, data + size);
  const velmora::CorvidFrame result = velmora::DecodeCorvidFrame(slot, Tables(), dvb);
  const bool resolved = result.outcome == velmora::CorvidOutcome::kResolved;
  if (resolved && result.datagram.size() != velmora::kQosHeaderSize + size) std::abort();
  velmora::PacketDump({slot.data() + velmora::kQosHeaderSize, size}, 3);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (bool dvb : {true, false}) {
    Answer(data, size, dvb);
    Decode(data, size, dvb);
  }
  return 0;
}
