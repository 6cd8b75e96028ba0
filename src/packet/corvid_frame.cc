#include "packet/corvid_frame.h"

#include <cstring>

#include "packet/frame_filters.h"
#include "packet/inserter_datagram.h"

namespace velmora {

CorvidFrame DecodeCorvidFrame(std::span<uint8_t> slot, const TableSnapshot& tables, bool dvb,
                              Ipv4MacRule rule) {
  CorvidFrame result;
  const std::span<uint8_t> frame = slot.subspan(std::min(slot.size(), kQosHeaderSize));
  if (frame.size() < kMinCorvidFrame) return result;
  if (frame.size() > kMaxCorvidFrame) {
    result.outcome = CorvidOutcome::kTooLong;
    return result;
  }
  if (IsLowPortFrame(frame)) {
    result.outcome = CorvidOutcome::kLowPort;
    return result;
  }
  std::memcpy(&result.destination, frame.data() + frame::kIpv4Destination, 4);
  result.multicast = IsMulticastIpv4(frame.data() + frame::kIpv4Destination);
  result.payload = static_cast<uint32_t>(frame.size() - frame::kIpv4HeadersEnd);
  const SubnetEntry* subnet = tables.FindSubnetForAddress(result.destination);
  if (subnet == nullptr) {
    result.outcome = CorvidOutcome::kUnresolvedPid;
    return result;
  }
  if (!ResolveIpv4Mac(frame, rule, tables, dvb)) {
    result.outcome = CorvidOutcome::kUnresolvedMac;
    return result;
  }
  result.datagram = slot.first(kQosHeaderSize + frame.size());
  WriteQosHeader(result.datagram, subnet->IPSubNetPID, false);
  result.outcome = CorvidOutcome::kResolved;
  return result;
}

}  // namespace velmora
