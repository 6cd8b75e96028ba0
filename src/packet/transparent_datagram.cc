#include "packet/transparent_datagram.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "packet/inserter_datagram.h"
#include "packet/packet_dump.h"

namespace velmora {

namespace {

constexpr size_t kVersionAt = kQosHeaderSize + 14;

bool HasQosHeader(std::span<const uint8_t> datagram) {
  return datagram.size() <= kTransparentMaxDatagram && datagram.size() >= kQosHeaderSize &&
         datagram[4] == ',' && datagram[7] == ',';
}

// The IP version of the frame; 0 for a datagram too short to carry one.
int IpVersion(std::span<const uint8_t> datagram) {
  return datagram.size() > kVersionAt ? datagram[kVersionAt] >> 4 : 0;
}

bool PassesThrough(std::span<const uint8_t> datagram) {
  return std::all_of(datagram.begin() + kQosHeaderSize, datagram.begin() + kQosHeaderSize + 6,
                     [](uint8_t b) { return b == 0; }) &&
         datagram[5] == 0 && datagram[6] == 0;
}

TransparentResult Ipv4(std::span<uint8_t> datagram, const TableSnapshot& tables, bool dvb) {
  if (datagram.size() < kQosHeaderSize + frame::kIpv4HeadersEnd) {
    return {.outcome = TransparentOutcome::kBadIpPacket};
  }
  const std::span<uint8_t> frame = datagram.subspan(kQosHeaderSize);
  std::copy_n(frame.begin() + frame::kIpv4Destination, 4, datagram.begin());
  TransparentResult result{.outcome = TransparentOutcome::kPassedIpv4,
                           .multicast = IsMulticastIpv4(datagram.data()),
                           .payload = datagram.size() - 42};
  std::memcpy(&result.destination, datagram.data(), 4);
  if (!PassesThrough(datagram)) {
    const SubnetEntry* subnet = tables.FindSubnetForAddress(result.destination);
    if (subnet == nullptr) return {.outcome = TransparentOutcome::kUnresolvedPid};
    datagram[5] = static_cast<uint8_t>(subnet->IPSubNetPID >> 8);
    datagram[6] = static_cast<uint8_t>(subnet->IPSubNetPID);
    if (!ResolveIpv4Mac(frame, Ipv4MacRule::kMapMulticast, tables, dvb)) {
      return {.outcome = TransparentOutcome::kUnresolvedMac};
    }
    result.outcome = TransparentOutcome::kResolvedIpv4;
  }
  result.datagram = datagram;
  return result;
}

TransparentResult Ipv6(std::span<uint8_t> datagram, const TableSnapshot& tables, bool dvb,
                       std::vector<uint8_t>& rebuilt) {
  if (datagram.size() < kQosHeaderSize + frame::kIpv6HeadersEnd) {
    return {.outcome = TransparentOutcome::kBadIpPacket};
  }
  const std::span<uint8_t> frame = datagram.subspan(kQosHeaderSize);
  const uint8_t* destination = frame.data() + frame::kIpv6Destination;
  const bool multicast = IsMulticastIpv6(destination);
  if (PassesThrough(datagram)) {
    return {
        .outcome = TransparentOutcome::kPassedIpv6, .multicast = multicast, .datagram = datagram};
  }
  Ipv6Address address;
  std::copy_n(destination, address.size(), address.begin());
  const Ipv6MacEntry* row = tables.FindIpv6MacRow(address);
  const Ipv6SubnetEntry* subnet = row != nullptr ? tables.FindIpv6Subnet(row->subnet) : nullptr;
  if (subnet == nullptr) return {.outcome = TransparentOutcome::kIpv6NoPid};
  ResolveIpv6Mac(frame, row, dvb);
  BuildDatagram(frame, subnet->IPSubNetPID, true, rebuilt);
  return {.outcome = TransparentOutcome::kResolvedIpv6,
          .multicast = multicast,
          .payload = datagram.size() - 62,
          .datagram = rebuilt};
}

}  // namespace

std::string TransparentTrace(std::span<const uint8_t> datagram) {
  if (!HasQosHeader(datagram)) return {};
  char line[96];
  std::snprintf(line, sizeof line, "Transparent packet. QoS IP=%u.%u.%u.%u. QoS PID=0x%x\n",
                datagram[0], datagram[1], datagram[2], datagram[3],
                unsigned{datagram[5]} << 8 | datagram[6]);
  std::string trace = line;
  if (IpVersion(datagram) == 4) {
    const std::span<const uint8_t> frame = datagram.subspan(kQosHeaderSize);
    trace += "Transparent. --------------------------\n" + PacketDump(frame, 3) + MacDump(frame);
  }
  return trace;
}

TransparentResult HandleTransparentDatagram(std::span<uint8_t> datagram,
                                            const TableSnapshot& tables, bool dvb,
                                            std::vector<uint8_t>& rebuilt) {
  if (datagram.size() > kTransparentMaxDatagram) return {.outcome = TransparentOutcome::kTooLong};
  if (!HasQosHeader(datagram)) return {.outcome = TransparentOutcome::kBadQosHeader};
  switch (IpVersion(datagram)) {
    case 4:
      return Ipv4(datagram, tables, dvb);
    case 6:
      return Ipv6(datagram, tables, dvb, rebuilt);
    default:
      return {.outcome = TransparentOutcome::kBadIpPacket};
  }
}

}  // namespace velmora
