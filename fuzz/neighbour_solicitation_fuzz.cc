// Feeds any bytes as one frame of the tap's IPv6 capture to the neighbour solicitation reader,
// as they are and with their ICMPv6 checksum made right (so that the reader gets past it). A
// solicitation it accepts is answered: the advertisement is for its target, to its asker, with
// a correct checksum. Nothing may be read past the frame (ASan).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/neighbour_discovery.h"

namespace {

constexpr velmora::EthernetAddress kMac{0x02, 0, 0, 0, 0x02, 0x99};

void Answer(const std::vector<uint8_t>& frame) {
  const auto solicitation = velmora::ReadNeighbourSolicitation(frame);
  if (!solicitation) return;
  const velmora::NeighbourAdvertisement answer = velmora::AdvertiseNeighbour(*solicitation, kMac);
  const bool right =
      std::equal(solicitation->target.begin(), solicitation->target.end(), answer.begin() + 62) &&
      std::equal(solicitation->asker.begin(), solicitation->asker.end(), answer.begin()) &&
      velmora::Icmpv6Checksum(answer, answer.size() - 54) == 0;
  if (!right) std::abort();
}

// The frame with the checksum its IPv6 payload length asks for, when the frame holds it.
std::vector<uint8_t> Sealed(std::vector<uint8_t> frame) {
  if (frame.size() < 58) return frame;
  const size_t length = size_t{frame[18]} << 8 | frame[19];
  if (length < 4 || length > frame.size() - 54) return frame;
  frame[56] = 0;
  frame[57] = 0;
  const uint16_t checksum = velmora::Icmpv6Checksum(frame, length);
  frame[56] = static_cast<uint8_t>(checksum >> 8);
  frame[57] = static_cast<uint8_t>(checksum);
  return frame;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> frame(data, data + size);
  Answer(frame);
  Answer(Sealed(frame));
  return 0;
}
