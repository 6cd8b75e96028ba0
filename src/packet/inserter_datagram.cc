#include "packet/inserter_datagram.h"

#include <algorithm>
#include <cstring>

namespace velmora {

namespace {

void SetDestination(std::span<uint8_t> frame, const MacAddress& mac) {
  std::copy(mac.begin(), mac.end(), frame.begin());
}

}  // namespace

bool IsMulticastIpv4(const uint8_t* address) {
  return (address[0] & 0xf0) == 0xe0;
}

bool IsMulticastIpv6(const uint8_t* address) {
  return address[0] == 0xff;
}

MacAddress MulticastMac(const uint8_t* group) {
  return {0x01, 0x00, 0x5e, static_cast<uint8_t>(group[1] & 0x7f), group[2], group[3]};
}

bool ResolveIpv4Mac(std::span<uint8_t> frame, Ipv4MacRule rule, const TableSnapshot& tables,
                    bool dvb) {
  if (frame.size() < frame::kIpv4HeadersEnd) return false;
  const uint8_t* destination = frame.data() + frame::kIpv4Destination;
  if (IsMulticastIpv4(destination)) {
    if (rule == Ipv4MacRule::kMapMulticast) SetDestination(frame, MulticastMac(destination));
    if (rule == Ipv4MacRule::kL2tpLink) SetDestination(frame, kFixedMac);
    return true;
  }
  if (!dvb && rule != Ipv4MacRule::kL2tpLink) {
    SetDestination(frame, kFixedMac);
    return true;
  }
  uint32_t address;
  std::memcpy(&address, destination, sizeof address);
  const IpMacEntry* row = tables.FindIpMacRow(address);
  if (row == nullptr) return false;
  SetDestination(frame, row->mac);
  return true;
}

bool ResolveIpv6Mac(std::span<uint8_t> frame, const Ipv6MacEntry* row, bool dvb) {
  if (frame.size() < frame::kIpv6HeadersEnd) return false;
  if (IsMulticastIpv6(frame.data() + frame::kIpv6Destination)) return true;
  if (!dvb) {
    SetDestination(frame, kFixedMac);
    return true;
  }
  if (row == nullptr) return false;
  SetDestination(frame, row->mac);
  return true;
}

bool WriteQosHeader(std::span<uint8_t> datagram, uint16_t pid, bool ipv6) {
  const size_t qos_ip = kQosHeaderSize + (ipv6 ? frame::kIpv6QosIp : frame::kIpv4Destination);
  if (datagram.size() < qos_ip + 4) return false;
  std::memcpy(datagram.data(), datagram.data() + qos_ip, 4);
  datagram[4] = ',';
  datagram[5] = static_cast<uint8_t>(pid >> 8);
  datagram[6] = static_cast<uint8_t>(pid);
  datagram[7] = ',';
  return true;
}

bool BuildDatagram(std::span<const uint8_t> frame, uint16_t pid, bool ipv6,
                   std::vector<uint8_t>& out) {
  out.resize(kQosHeaderSize + frame.size());
  std::memcpy(out.data() + kQosHeaderSize, frame.data(), frame.size());
  if (WriteQosHeader(out, pid, ipv6)) return true;
  out.clear();
  return false;
}

}  // namespace velmora
