#include "packet/l2tp_datagram.h"

#include <cstring>

#include "packet/inserter_datagram.h"
#include "packet/packet_dump.h"

namespace velmora {

namespace {

constexpr size_t kIpAt = kQosHeaderSize + 14;

L2tpOutcome CheckHeaders(std::span<const uint8_t> datagram) {
  if (datagram.size() < kL2tpHeadersSize) return L2tpOutcome::kTooShort;
  if (datagram[4] != ',' || datagram[7] != ',') return L2tpOutcome::kBadQosHeader;
  if (datagram[kIpAt] >> 4 != 4) return L2tpOutcome::kBadIpVersion;
  const size_t total_length = size_t{datagram[kIpAt + 2]} << 8 | datagram[kIpAt + 3];
  if (total_length > datagram.size() - kIpAt) return L2tpOutcome::kBadLength;
  return L2tpOutcome::kResolved;
}

}  // namespace

std::string L2tpTrace(std::span<const uint8_t> datagram) {
  if (CheckHeaders(datagram) != L2tpOutcome::kResolved) return {};
  const std::span<const uint8_t> frame = datagram.subspan(kQosHeaderSize);
  return "L2TP. ------------------------------------\n" + PacketDump(frame, 3) + MacDump(frame);
}

L2tpResult ResolveL2tpDatagram(std::span<uint8_t> datagram, const TableSnapshot& tables) {
  if (const L2tpOutcome headers = CheckHeaders(datagram); headers != L2tpOutcome::kResolved) {
    return {.outcome = headers};
  }
  const std::span<uint8_t> frame = datagram.subspan(kQosHeaderSize);
  std::memcpy(datagram.data(), &frame[frame::kIpv4Destination], 4);
  L2tpResult result{.outcome = L2tpOutcome::kUnresolvedPid,
                    .multicast = IsMulticastIpv4(datagram.data()),
                    .payload = datagram.size() - kL2tpHeadersSize};
  std::memcpy(&result.destination, datagram.data(), 4);
  const SubnetEntry* subnet = tables.FindSubnetForAddress(result.destination);
  if (subnet == nullptr) return result;
  datagram[5] = static_cast<uint8_t>(subnet->IPSubNetPID >> 8);
  datagram[6] = static_cast<uint8_t>(subnet->IPSubNetPID);
  result.outcome = ResolveIpv4Mac(frame, Ipv4MacRule::kL2tpLink, tables, true)
                       ? L2tpOutcome::kResolved
                       : L2tpOutcome::kUnresolvedMac;
  return result;
}

}  // namespace velmora
