#include "traffic/udp_frame.h"

#include <cstring>

namespace velmora {

namespace {

void PutWord(uint8_t* at, unsigned value) {
  at[0] = static_cast<uint8_t>(value >> 8);
  at[1] = static_cast<uint8_t>(value);
}

// The RFC 1071 one's-complement sum of `bytes` added to `sum`, not yet folded.
uint32_t AddWords(uint32_t sum, const uint8_t* bytes, size_t size) {
  for (size_t i = 0; i + 1 < size; i += 2) sum += unsigned{bytes[i]} << 8 | bytes[i + 1];
  if (size % 2 != 0) sum += unsigned{bytes[size - 1]} << 8;
  return sum;
}

unsigned Complement(uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return ~sum & 0xffff;
}

// The UDP checksum of the datagram at `udp` (header with a zero checksum, then the payload).
unsigned UdpChecksum(const uint8_t* ip_header, const uint8_t* udp, size_t udp_length) {
  uint32_t sum = AddWords(0, ip_header + 12, 8);  // source and destination
  sum += 17 + static_cast<uint32_t>(udp_length);
  const unsigned checksum = Complement(AddWords(sum, udp, udp_length));
  return checksum == 0 ? 0xffff : checksum;
}

}  // namespace

void AppendIpv4UdpFrame(const UdpFrameFields& fields, std::span<const uint8_t> payload,
                        std::vector<uint8_t>& out) {
  const size_t start = out.size();
  out.resize(start + 14 + 28 + payload.size(), 0);
  uint8_t* frame = out.data() + start;
  std::memcpy(frame, fields.destination_mac.data(), 6);
  std::memset(frame + 6, 0, 8);
  frame[12] = 0x08;
  uint8_t* ip = frame + 14;
  ip[0] = 0x45;
  PutWord(ip + 2, static_cast<unsigned>(28 + payload.size()));
  PutWord(ip + 4, fields.identification);
  ip[8] = fields.time_to_live;
  ip[9] = 17;  // UDP
  std::memcpy(ip + 12, &fields.source, 4);
  std::memcpy(ip + 16, &fields.destination, 4);
  PutWord(ip + 10, Complement(AddWords(0, ip, 20)));
  uint8_t* udp = ip + 20;
  PutWord(udp, fields.source_port);
  PutWord(udp + 2, fields.destination_port);
  PutWord(udp + 4, static_cast<unsigned>(8 + payload.size()));
  if (!payload.empty()) std::memcpy(udp + 8, payload.data(), payload.size());
  if (fields.udp_checksum) PutWord(udp + 6, UdpChecksum(ip, udp, 8 + payload.size()));
}

void AppendQosHeader(uint32_t qos_ip, uint16_t pid, std::vector<uint8_t>& out) {
  const size_t start = out.size();
  out.resize(start + 8);
  std::memcpy(out.data() + start, &qos_ip, 4);
  out[start + 4] = out[start + 7] = ',';
  PutWord(out.data() + start + 5, pid);
}

std::vector<uint8_t> Ipv4UdpFrame(uint32_t source, uint32_t destination, uint16_t port,
                                  std::span<const uint8_t> payload) {
  std::vector<uint8_t> frame;
  AppendIpv4UdpFrame(
      {.source = source, .destination = destination, .source_port = port, .destination_port = port},
      payload, frame);
  return frame;
}

std::vector<uint8_t> TransparentUdpDatagram(uint32_t source, uint32_t destination, uint16_t port,
                                            uint16_t pid, std::span<const uint8_t> payload) {
  std::vector<uint8_t> datagram;
  AppendQosHeader(destination, pid, datagram);
  const std::vector<uint8_t> frame = Ipv4UdpFrame(source, destination, port, payload);
  datagram.insert(datagram.end(), frame.begin(), frame.end());
  return datagram;
}

}  // namespace velmora
