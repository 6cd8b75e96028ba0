#include "platform/neighbour_discovery.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace velmora {
namespace {

constexpr size_t kEthernetHeader = 14;
constexpr size_t kIpv6Start = kEthernetHeader;
constexpr size_t kIpv6Header = 40;
constexpr size_t kIcmpStart = kIpv6Start + kIpv6Header;  // 54
constexpr size_t kNeighbourMessage = 24;  // type, code, checksum, reserved or flags, target
constexpr size_t kOptionsStart = kIcmpStart + kNeighbourMessage;  // 78
constexpr uint8_t kIcmpv6 = 58;
constexpr uint8_t kNeighbourHopLimit = 255;
constexpr uint8_t kSolicitationType = 135;
constexpr uint8_t kAdvertisementType = 136;
constexpr uint8_t kSourceLinkOption = 1;
constexpr uint8_t kTargetLinkOption = 2;
constexpr uint8_t kSolicitedFlag = 0x40;
constexpr uint8_t kOverrideFlag = 0x20;

uint16_t ReadWord(std::span<const uint8_t> bytes, size_t at) {
  uint16_t word;
  std::memcpy(&word, &bytes[at], sizeof word);
  return ntohs(word);
}

void WriteWord(std::span<uint8_t> bytes, size_t at, uint16_t value) {
  const uint16_t word = htons(value);
  std::memcpy(&bytes[at], &word, sizeof word);
}

template <size_t N>
std::array<uint8_t, N> Take(std::span<const uint8_t> bytes, size_t at) {
  std::array<uint8_t, N> taken;
  std::copy_n(bytes.begin() + static_cast<ptrdiff_t>(at), N, taken.begin());
  return taken;
}

template <size_t N>
void Put(std::span<uint8_t> bytes, size_t at, const std::array<uint8_t, N>& value) {
  std::copy(value.begin(), value.end(), bytes.begin() + static_cast<ptrdiff_t>(at));
}

// The one's complement sum (RFC 1071) of `bytes`, added to `sum`, not yet folded.
uint32_t AddWords(std::span<const uint8_t> bytes, uint32_t sum) {
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) sum += ReadWord(bytes, i);
  if (bytes.size() % 2 != 0) sum += static_cast<uint32_t>(bytes.back() << 8);
  return sum;
}

bool IsMulticast(const Ipv6Address& address) {
  return address[0] == 0xFF;
}

bool IsUnspecified(const Ipv6Address& address) {
  return std::all_of(address.begin(), address.end(), [](uint8_t byte) { return byte == 0; });
}

// The group ff02::1:ffXX:XXXX that solicitations for `target` are sent to (RFC 4291, 2.7.1).
Ipv6Address SolicitedNodeGroup(const Ipv6Address& target) {
  Ipv6Address group{0xFF, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0xFF};
  std::copy_n(target.begin() + 13, 3, group.begin() + 13);
  return group;
}

// The fixed part of a solicitation of `payload` bytes: the headers as RFC 4861 wants them.
bool HasSolicitationHeaders(std::span<const uint8_t> frame, size_t payload) {
  return ReadWord(frame, 12) == 0x86DD && frame[kIpv6Start] >> 4 == 6 &&
         frame[kIpv6Start + 6] == kIcmpv6 && frame[kIpv6Start + 7] == kNeighbourHopLimit &&
         payload >= kNeighbourMessage && frame[kIcmpStart] == kSolicitationType &&
         frame[kIcmpStart + 1] == 0 && Icmpv6Checksum(frame, payload) == 0;
}

// Walks the options up to `end`: false on one of length 0 or one that runs past the end; the
// source link-layer address into `asker` when there is one.
bool ReadOptions(std::span<const uint8_t> frame, size_t end, EthernetAddress& asker) {
  for (size_t at = kOptionsStart; at < end;) {
    if (end - at < 2 || frame[at + 1] == 0) return false;
    const size_t length = size_t{frame[at + 1]} * 8;
    if (length > end - at) return false;
    if (frame[at] == kSourceLinkOption) asker = Take<6>(frame, at + 2);
    at += length;
  }
  return true;
}

}  // namespace

uint16_t Icmpv6Checksum(std::span<const uint8_t> frame, size_t length) {
  uint32_t sum = AddWords(frame.subspan(kIpv6Start + 8, 32), 0);
  sum += static_cast<uint32_t>(length >> 16) + static_cast<uint32_t>(length & 0xFFFF) + kIcmpv6;
  sum = AddWords(frame.subspan(kIcmpStart, length), sum);
  while (sum >> 16 != 0) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

std::optional<NeighbourSolicitation> ReadNeighbourSolicitation(std::span<const uint8_t> frame) {
  if (frame.size() < kOptionsStart) return std::nullopt;
  const size_t payload = ReadWord(frame, kIpv6Start + 4);
  if (payload > frame.size() - kIcmpStart || !HasSolicitationHeaders(frame, payload)) {
    return std::nullopt;
  }
  NeighbourSolicitation solicitation{.source = Take<16>(frame, kIpv6Start + 8),
                                     .destination = Take<16>(frame, kIpv6Start + 24),
                                     .target = Take<16>(frame, kIcmpStart + 8),
                                     .asker = Take<6>(frame, 6)};
  if (!ReadOptions(frame, kIcmpStart + payload, solicitation.asker)) return std::nullopt;
  const bool answerable = !IsMulticast(solicitation.target) &&
                          !IsUnspecified(solicitation.source) &&
                          !IsMulticast(solicitation.source) &&
                          (solicitation.destination == solicitation.target ||
                           solicitation.destination == SolicitedNodeGroup(solicitation.target));
  if (!answerable) return std::nullopt;
  return solicitation;
}

NeighbourAdvertisement AdvertiseNeighbour(const NeighbourSolicitation& solicitation,
                                          const EthernetAddress& mac) {
  NeighbourAdvertisement frame{};
  Put(frame, 0, solicitation.asker);
  Put(frame, 6, mac);
  WriteWord(frame, 12, 0x86DD);
  frame[kIpv6Start] = 0x60;
  WriteWord(frame, kIpv6Start + 4, kNeighbourAdvertisementSize - kIcmpStart);
  frame[kIpv6Start + 6] = kIcmpv6;
  frame[kIpv6Start + 7] = kNeighbourHopLimit;
  Put(frame, kIpv6Start + 8, solicitation.target);
  Put(frame, kIpv6Start + 24, solicitation.source);
  frame[kIcmpStart] = kAdvertisementType;
  frame[kIcmpStart + 4] = kSolicitedFlag | kOverrideFlag;
  Put(frame, kIcmpStart + 8, solicitation.target);
  frame[kOptionsStart] = kTargetLinkOption;
  frame[kOptionsStart + 1] = 1;
  Put(frame, kOptionsStart + 2, mac);
  WriteWord(frame, kIcmpStart + 2, Icmpv6Checksum(frame, kNeighbourAdvertisementSize - kIcmpStart));
  return frame;
}

}  // namespace velmora
