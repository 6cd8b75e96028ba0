// Feeds any bytes as one frame taken from the tap, to its three handlers: the ARP responder with
// the tap's source filter (and its log line), the IPv4 port-frame decoder and the IPv6 decoder
// (with the dump the port thread logs), under the checks of source_frames.h.
#include <cstdint>

#include "packet/pylon_frame.h"
#include "source_frames.h"
#include "testing/corvid_frames.h"

namespace {

// The subnets and row of the virtual adapter's tests and the IPv6 row fd00::50 with its subnet.
const velmora::TableSnapshot& Tables() {
  static const velmora::TableSnapshot tables = [] {
    velmora::TableSnapshot t = velmora::testing::SubnetRowAndGroups();
    t.InsertIpv6Subnet({.id = 3, .Alias = "v6", .IPSubNetMAC = "v6", .IPSubNetPID = 0x0789});
    t.InsertIpv6MacRow({.address = *velmora::TextToIpv6("fd00::50"), .subnet = 3});
    return t;
  }();
  return tables;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint32_t allowed[] = {velmora::DottedToAddress("10.9.0.1")};
  for (bool dvb : {true, false}) {
    velmora::fuzzing::AnswerArp(data, size, Tables(), dvb, allowed);
    velmora::fuzzing::DecodeInSlot(data, size, Tables(), dvb, velmora::DecodePylonPortFrame);
    velmora::fuzzing::DecodeInSlot(data, size, Tables(), dvb, velmora::DecodePylonIpv6Frame);
  }
  return 0;
}
