#include "inserter_sink/sink_decoder.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

namespace velmora {

namespace {

constexpr size_t kQosHeader = 8;
constexpr size_t kMacHeader = 14;
constexpr size_t kIpv4Header = 20;
constexpr size_t kIpv6Header = 40;

unsigned Word(std::span<const uint8_t> bytes, size_t at) {
  return unsigned{bytes[at]} << 8 | bytes[at + 1];
}

std::string AddressText(int family, const uint8_t* address) {
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(family, address, text, sizeof text);
  return text;
}

SinkDefect DecodeIpv4(std::span<const uint8_t> ip, SinkDatagram& out) {
  if (ip.size() < kIpv4Header || (ip[0] & 0x0f) < 5) return SinkDefect::kTruncatedIp;
  out.ip_length = Word(ip, 2);
  out.protocol = ip[9];
  out.source = AddressText(AF_INET, ip.data() + 12);
  out.destination = AddressText(AF_INET, ip.data() + 16);
  if (out.ip_length > ip.size() || out.ip_length < kIpv4Header) return SinkDefect::kTruncatedIp;
  return std::memcmp(&out.qos_ip, ip.data() + 16, 4) == 0 ? SinkDefect::kNone
                                                          : SinkDefect::kQosIpMismatch;
}

SinkDefect DecodeIpv6(std::span<const uint8_t> ip, SinkDatagram& out) {
  if (ip.size() < kIpv6Header) return SinkDefect::kTruncatedIp;
  out.ip_length = kIpv6Header + Word(ip, 4);
  out.protocol = ip[6];
  out.source = AddressText(AF_INET6, ip.data() + 8);
  out.destination = AddressText(AF_INET6, ip.data() + 24);
  if (out.ip_length > ip.size()) return SinkDefect::kTruncatedIp;
  return std::memcmp(&out.qos_ip, ip.data() + 36, 4) == 0 ? SinkDefect::kNone
                                                          : SinkDefect::kQosIpMismatch;
}

SinkDefect Decode(std::span<const uint8_t> datagram, SinkDatagram& out) {
  if (datagram.size() < kQosHeader) return SinkDefect::kShortHeader;
  if (datagram[4] != ',' || datagram[7] != ',') return SinkDefect::kBadSeparator;
  std::memcpy(&out.qos_ip, datagram.data(), 4);
  out.pid = static_cast<uint16_t>(Word(datagram, 5));
  out.frame = datagram.subspan(kQosHeader);
  if (out.frame.size() < kMacHeader) return SinkDefect::kShortFrame;
  const std::span<const uint8_t> ip = out.frame.subspan(kMacHeader);
  // Like the router, go by the version nibble; the EtherType is the sender's business.
  out.ip_version = ip.empty() ? 0 : ip[0] >> 4;
  if (out.ip_version == 4) return DecodeIpv4(ip, out);
  if (out.ip_version == 6) return DecodeIpv6(ip, out);
  return SinkDefect::kNotIp;
}

std::string MacText(const uint8_t* mac) {
  char text[18];
  std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
                mac[4], mac[5]);
  return text;
}

}  // namespace

std::string_view SinkDefectName(SinkDefect defect) {
  switch (defect) {
    case SinkDefect::kNone:
      return "none";
    case SinkDefect::kShortHeader:
      return "shorter than the QoS header";
    case SinkDefect::kBadSeparator:
      return "bad QoS separators";
    case SinkDefect::kShortFrame:
      return "no MAC header";
    case SinkDefect::kNotIp:
      return "not IPv4 or IPv6";
    case SinkDefect::kTruncatedIp:
      return "truncated IP packet";
    case SinkDefect::kQosIpMismatch:
      return "QoS IP is not the destination";
  }
  return "unknown";
}

SinkDatagram DecodeSinkDatagram(std::span<const uint8_t> datagram) {
  SinkDatagram out;
  out.defect = Decode(datagram, out);
  return out;
}

std::string DescribeSinkDatagram(const SinkDatagram& d) {
  char head[96];
  std::snprintf(head, sizeof head, "PID 0x%04x QoS %s", d.pid,
                AddressText(AF_INET, reinterpret_cast<const uint8_t*>(&d.qos_ip)).c_str());
  std::string line = head;
  if (d.frame.size() >= kMacHeader) {
    line += " MAC " + MacText(d.frame.data() + 6) + " > " + MacText(d.frame.data());
  }
  if (!d.source.empty()) {
    char ip[64];
    std::snprintf(ip, sizeof ip, " proto %u length %zu", d.protocol, d.ip_length);
    line += " IPv" + std::to_string(d.ip_version) + " " + d.source + " > " + d.destination + ip;
  }
  if (d.defect != SinkDefect::kNone) line += " MALFORMED: " + std::string(SinkDefectName(d.defect));
  return line;
}

}  // namespace velmora
