// Feeds any bytes as one transparent-port datagram against small tables, to the trace and to the
// handling. Whatever is handed on must keep the received length; nothing may be read past the
// received bytes (ASan).
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "packet/transparent_datagram.h"
#include "platform/address_text.h"

namespace {

const velmora::TableSnapshot& Tables() {
  static const velmora::TableSnapshot tables = [] {
    velmora::TableSnapshot t;
    t.InsertSubnet({.id = 1,
                    .IPSubNetAddr = velmora::DottedToAddress("10.0.0.0"),
                    .IPSubNetMask = velmora::DottedToAddress("255.0.0.0"),
                    .IPSubNetPID = 0x123});
    t.InsertIpMacRow({.address = velmora::DottedToAddress("10.0.0.5"), .subnet = 1});
    t.InsertIpv6Subnet({.id = 2, .IPSubNetPID = 0x456});
    t.InsertIpv6MacRow({.address = *velmora::TextToIpv6("2001:db8::1"), .subnet = 2});
    return t;
  }();
  return tables;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> datagram(data, data + size);
  std::vector<uint8_t> rebuilt;
  velmora::TransparentTrace(datagram);
  for (bool dvb : {true, false}) {
    const velmora::TransparentResult result =
        velmora::HandleTransparentDatagram(datagram, Tables(), dvb, rebuilt);
    if (!result.datagram.empty() && result.datagram.size() != size) std::abort();
  }
  return 0;
}
