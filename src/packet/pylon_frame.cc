#include "packet/pylon_frame.h"

#include <algorithm>
#include <cstring>

#include "packet/inserter_datagram.h"

namespace velmora {

CorvidFrame DecodePylonPortFrame(std::span<uint8_t> slot, const TableSnapshot& tables, bool dvb) {
  return DecodeCorvidFrame(slot, tables, dvb, Ipv4MacRule::kKeepMulticast);
}

PylonIpv6Frame DecodePylonIpv6Frame(std::span<uint8_t> slot, const TableSnapshot& tables,
                                    bool dvb) {
  PylonIpv6Frame result;
  const std::span<uint8_t> frame = slot.subspan(std::min(slot.size(), kQosHeaderSize));
  if (frame.size() < kMinPylonIpv6Frame) return result;
  if (frame.size() > kMaxPylonFrame) {
    result.outcome = CorvidOutcome::kTooLong;
    return result;
  }
  Ipv6Address destination;
  std::memcpy(destination.data(), frame.data() + frame::kIpv6Destination, destination.size());
  result.multicast = IsMulticastIpv6(destination.data());
  result.payload = static_cast<uint32_t>(frame.size() - frame::kIpv6HeadersEnd);
  const Ipv6MacEntry* row = tables.FindIpv6MacRow(destination);
  const Ipv6SubnetEntry* subnet = row != nullptr ? tables.FindIpv6Subnet(row->subnet) : nullptr;
  if (subnet == nullptr) {
    result.outcome = CorvidOutcome::kUnresolvedPid;
    return result;
  }
  ResolveIpv6Mac(frame, row, dvb);
  result.datagram = slot.first(kQosHeaderSize + frame.size());
  WriteQosHeader(result.datagram, subnet->IPSubNetPID, true);
  result.outcome = CorvidOutcome::kResolved;
  return result;
}

}  // namespace velmora
