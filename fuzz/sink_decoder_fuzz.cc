// Feeds any bytes to the inserter sink's decoder as one received datagram. A datagram without a
// defect must hold a whole frame; nothing may be read past the received bytes (ASan).
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "inserter_sink/sink_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> datagram(data, data + size);
  const velmora::SinkDatagram decoded = velmora::DecodeSinkDatagram(datagram);
  velmora::DescribeSinkDatagram(decoded);
  if (decoded.defect == velmora::SinkDefect::kNone &&
      (decoded.frame.size() != size - 8 || decoded.ip_length + 14 > decoded.frame.size())) {
    std::abort();
  }
  return 0;
}
