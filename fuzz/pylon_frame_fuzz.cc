// Feeds any bytes as one frame taken from the tap, to its three handlers: the ARP responder with
// the tap's source filter (and its log line), the IPv4 port-frame decoder and the IPv6 decoder
// (with the dump the port thread logs). The responder's verdict is the outcome of its answer; an
// answer keeps the frame's length; a resolved datagram is the frame behind its 8-byte header;
// nothing may be read past the frame (ASan).
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "packet/arp_reply.h"
#include "packet/inserter_datagram.h"
#include "packet/packet_dump.h"
#include "packet/pylon_frame.h"
#include "testing/corvid_frames.h"

namespace {

// The subnet and row of the virtual adapter's tests, the groups 239.0.0.0/8 and the IPv6 row
// fd00::50 with its subnet.
const velmora::TableSnapshot& Tables() {
  static const velmora::TableSnapshot tables = [] {
    velmora::TableSnapshot t = velmora::testing::SubnetWithOneRow();
    t.InsertSubnet({.id = 2,
                    .IPSubNetAddr = velmora::DottedToAddress("239.0.0.0"),
                    .IPSubNetMask = velmora::DottedToAddress("255.0.0.0"),
                    .IPSubNetPID = 0x0456});
    t.InsertIpv6Subnet({.id = 3, .Alias = "v6", .IPSubNetMAC = "v6", .IPSubNetPID = 0x0789});
    t.InsertIpv6MacRow({.address = *velmora::TextToIpv6("fd00::50"), .subnet = 3});
    return t;
  }();
  return tables;
}

void Answer(const uint8_t* data, size_t size, bool dvb) {
  std::vector<uint8_t> frame(data, data + size);
  const uint32_t own[] = {velmora::DottedToAddress("192.168.254.1")};
  const uint32_t allowed[] = {velmora::DottedToAddress("10.9.0.1")};
  const velmora::ArpContext context{.tables = Tables(),
                                    .dvb = dvb,
                                    .inserter = velmora::DottedToAddress("10.1.0.9"),
                                    .own_addresses = own,
                                    .allowed_senders = allowed};
  const velmora::ArpOutcome verdict = velmora::ArpVerdict(frame, context);
  const velmora::ArpOutcome outcome = velmora::ArpReply(frame, context);
  if (frame.size() != size || outcome != verdict) std::abort();
  velmora::ArpLogLine(outcome, frame, 3);
}

template <typename Decoder>
void Decode(const uint8_t* data, size_t size, bool dvb, const Decoder& decoder) {
  std::vector<uint8_t> slot(velmora::kQosHeaderSize);
  slot.insert(slot.end(), data, data + size);
  const velmora::CorvidFrame result = decoder(slot, Tables(), dvb);
  const bool resolved = result.outcome == velmora::CorvidOutcome::kResolved;
  if (resolved && result.datagram.size() != velmora::kQosHeaderSize + size) std::abort();
  velmora::PacketDump({slot.data() + velmora::kQosHeaderSize, size}, 3);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (bool dvb : {true, false}) {
    Answer(data, size, dvb);
    Decode(data, size, dvb, velmora::DecodePylonPortFrame);
    Decode(data, size, dvb, velmora::DecodePylonIpv6Frame);
  }
  return 0;
}
