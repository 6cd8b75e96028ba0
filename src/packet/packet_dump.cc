#include "packet/packet_dump.h"

#include <algorithm>
#include <cstdio>

namespace velmora {

namespace {

unsigned Word(std::span<const uint8_t> frame, size_t at) {
  return unsigned{frame[at]} << 8 | frame[at + 1];
}

}  // namespace

std::string IpDump(std::span<const uint8_t> frame) {
  if (frame.size() < 34) return {};
  char text[256];
  const unsigned flags_offset = Word(frame, 20);
  std::snprintf(text, sizeof text,
                "IP: Ver=%d, HLen=%d, tos=0x%02X, Len=%d, \n"
                "id=%d, fl= %d, FrOff=%d, ttl=%d, prot=0x%02X; \n"
                "IPsrc=%d.%d.%d.%d; IPdst=%d.%d.%d.%d\n",
                frame[14] >> 4, frame[14] & 0x0f, frame[15], static_cast<int>(Word(frame, 16)) - 20,
                Word(frame, 18), flags_offset >> 13, (flags_offset * 8) & 0xffff, frame[22],
                frame[23], frame[26], frame[27], frame[28], frame[29], frame[30], frame[31],
                frame[32], frame[33]);
  return text;
}

std::string UdpDump(std::span<const uint8_t> frame) {
  if (frame.size() < 42) return {};
  char text[160];
  std::snprintf(text, sizeof text,
                "UDP: Len=%d, SrcP=%d, DstP=%d, Chk=%d, Data[10]=", Word(frame, 38),
                Word(frame, 34), Word(frame, 36), Word(frame, 40));
  std::string dump = text;
  for (size_t i = 42; i < std::min<size_t>(frame.size(), 52); ++i) {
    std::snprintf(text, sizeof text, " %02x", frame[i]);
    dump += text;
  }
  return dump + "\n";
}

std::string PacketDump(std::span<const uint8_t> frame, int level) {
  return level >= 3 ? IpDump(frame) + UdpDump(frame) : IpDump(frame);
}

std::string MacDump(std::span<const uint8_t> frame) {
  if (frame.size() < 12) return {};
  char text[96];
  std::snprintf(
      text, sizeof text,
      "    MACdst=%02X:%02X:%02X:%02X:%02X:%02X\n    MACsrc=%02X:%02X:%02X:%02X:%02X:%02X\n",
      frame[0], frame[1], frame[2], frame[3], frame[4], frame[5], frame[6], frame[7], frame[8],
      frame[9], frame[10], frame[11]);
  return text;
}

}  // namespace velmora
