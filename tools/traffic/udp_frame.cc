#include "traffic/udp_frame.h"

#include <cstring>

namespace velmora {

namespace {

void PutWord(std::vector<uint8_t>& bytes, size_t at, unsigned value) {
  bytes[at] = static_cast<uint8_t>(value >> 8);
  bytes[at + 1] = static_cast<uint8_t>(value);
}

// RFC 791 header checksum over the 20 bytes at `at`.
unsigned HeaderChecksum(const std::vector<uint8_t>& bytes, size_t at) {
  uint32_t sum = 0;
  for (size_t i = at; i < at + 20; i += 2) sum += unsigned{bytes[i]} << 8 | bytes[i + 1];
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return ~sum & 0xffff;
}

}  // namespace

std::vector<uint8_t> Ipv4UdpFrame(uint32_t source, uint32_t destination, uint16_t port,
                                  std::span<const uint8_t> payload) {
  std::vector<uint8_t> frame(14 + 28 + payload.size(), 0);
  frame[12] = 0x08;
  frame[14] = 0x45;
  PutWord(frame, 16, static_cast<unsigned>(28 + payload.size()));
  frame[22] = 64;  // time to live
  frame[23] = 17;  // UDP
  std::memcpy(frame.data() + 26, &source, 4);
  std::memcpy(frame.data() + 30, &destination, 4);
  PutWord(frame, 24, HeaderChecksum(frame, 14));
  PutWord(frame, 34, port);
  PutWord(frame, 36, port);
  PutWord(frame, 38, static_cast<unsigned>(8 + payload.size()));
  std::copy(payload.begin(), payload.end(), frame.begin() + 42);
  return frame;
}

std::vector<uint8_t> TransparentUdpDatagram(uint32_t source, uint32_t destination, uint16_t port,
                                            uint16_t pid, std::span<const uint8_t> payload) {
  const std::vector<uint8_t> frame = Ipv4UdpFrame(source, destination, port, payload);
  std::vector<uint8_t> datagram(8 + frame.size());
  std::memcpy(datagram.data(), &destination, 4);
  datagram[4] = datagram[7] = ',';
  PutWord(datagram, 5, pid);
  std::memcpy(datagram.data() + 8, frame.data(), frame.size());
  return datagram;
}

}  // namespace velmora
