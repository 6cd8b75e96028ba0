// Feeds any bytes as one frame read from the virtual adapter, to the ARP responder (with its log
// line) and to the frame decoder (with the dump the frame thread logs), under the checks of
// source_frames.h.
#include <cstdint>

#include "packet/corvid_frame.h"
#include "source_frames.h"
#include "testing/corvid_frames.h"

namespace {

const velmora::TableSnapshot& Tables() {
  static const velmora::TableSnapshot tables = velmora::testing::SubnetRowAndGroups();
  return tables;
}

velmora::CorvidFrame Decode(std::span<uint8_t> slot, const velmora::TableSnapshot& tables,
                            bool dvb) {
  return velmora::DecodeCorvidFrame(slot, tables, dvb);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (bool dvb : {true, false}) {
    velmora::fuzzing::AnswerArp(data, size, Tables(), dvb);
    velmora::fuzzing::DecodeInSlot(data, size, Tables(), dvb, Decode);
  }
  return 0;
}
