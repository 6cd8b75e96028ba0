// Any sequence of profile, address (IPv4 and IPv6), physical-bandwidth, queue and clock operations
// on the bandwidth controller: refusals are BWCError only, and after every step the promises hold
// (the summaries within the physical bandwidth, each profile's guarantees within its summary
// counting both families, no address without its profile), a queue takes a datagram only below
// its capacity, and an IPv6 datagram only ever enters the queue of its own 16-byte destination,
// and only when its frame's EtherType says IPv6.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bandwidth/bwc_controller.h"
#include "bandwidth/bwc_error.h"
#include "platform/address_text.h"
#include "support/log.h"

namespace {

using velmora::Ipv6Address;
using velmora::TessaroBWControl::BWCController;
using velmora::TessaroBWControl::BWCError;

const char* const kAliases[] = {"A", "B", "Gold", "gold", ""};
constexpr int kAddresses = 6;

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return position_ >= size_; }
  uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }
  uint32_t Word() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = value << 8 | Byte();
    return value;
  }
  // Mostly inside the ranges the rules test, sometimes anything.
  uint32_t Bandwidth() {
    const uint32_t word = Word();
    return (word & 0x80000000u) ? word : word % 16'000'000;
  }
  std::string Alias() { return kAliases[Byte() % std::size(kAliases)]; }
  uint32_t Address() { return Ipv4Of(Byte() % kAddresses); }
  Ipv6Address Address6() { return Ipv6Of(Byte() % kAddresses); }

  // 10.0.0.i, and 2001:db8::a00:i, whose last four bytes are those of 10.0.0.i.
  static uint32_t Ipv4Of(int i) { return 0x0000000a | uint32_t(i) << 24; }
  static Ipv6Address Ipv6Of(int i) {
    Ipv6Address address{0x20, 0x01, 0x0d, 0xb8};
    address[12] = 10;
    address[15] = static_cast<uint8_t>(i);
    return address;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

// An inserter datagram of a frame of `ether_type` that carries an IPv6 packet to `address`, QoS IP
// its last four bytes; `size` may cut it short of its destination.
std::vector<uint8_t> Ipv6Datagram(const Ipv6Address& address, uint16_t ether_type, size_t size) {
  std::vector<uint8_t> datagram(std::max<size_t>(size, 23));
  std::memcpy(datagram.data(), address.data() + 12, 4);
  datagram[20] = static_cast<uint8_t>(ether_type >> 8);
  datagram[21] = static_cast<uint8_t>(ether_type);
  datagram[22] = 0x60;
  if (datagram.size() >= 62) std::memcpy(datagram.data() + 46, address.data(), 16);
  return datagram;
}

void OfferIpv6(BWCController& bwc, Input& in) {
  const Ipv6Address address = in.Address6();
  // Mostly the IPv6 EtherType, sometimes IPv4's, which the packet contradicts.
  const bool ipv6_frame = in.Byte() % 4 != 0;
  const std::vector<uint8_t> datagram =
      Ipv6Datagram(address, ipv6_frame ? 0x86DD : 0x0800, in.Byte() * 8u);
  const auto before = bwc.Queue(address);
  const uint32_t shared_bytes = Input::Ipv4Of(address[15]);
  const auto v4_before = bwc.Queue(shared_bytes);
  const auto result = bwc.Enqueue(datagram);
  // Queued only as an IPv6 frame into its own queue, below its capacity, and never into the IPv4
  // host's.
  if (result == BWCController::EnqueueResult::kQueued &&
      (!ipv6_frame || datagram.size() < 62 || !before ||
       before->queued_bytes >= before->capacity)) {
    __builtin_trap();
  }
  const auto v4_after = bwc.Queue(shared_bytes);
  if (v4_before && v4_after && v4_after->queued_bytes > v4_before->queued_bytes) __builtin_trap();
}

void Step(BWCController& bwc, velmora::SimulatedClock& clock, Input& in) {
  switch (in.Byte() % 14) {
    case 0:
      bwc.AddProfile(in.Alias(), in.Bandwidth(), in.Bandwidth(), in.Bandwidth());
      break;
    case 1:
      bwc.ChangeProfile(in.Alias(), in.Bandwidth(), in.Bandwidth(), in.Bandwidth());
      break;
    case 2:
      bwc.RemoveProfile(in.Alias());
      break;
    case 3:
      bwc.AddAddress(in.Address(), in.Alias());
      break;
    case 4:
      bwc.ChangeAddress(in.Address(), in.Alias());
      break;
    case 5:
      bwc.RemoveAddress(in.Address());
      break;
    case 6:
      bwc.SetPhysicalBandwidth(in.Bandwidth());
      break;
    case 7: {
      std::vector<uint8_t> datagram(in.Byte() * 16u);
      const uint32_t address = in.Address();
      if (datagram.size() >= 4) std::memcpy(datagram.data(), &address, 4);
      // A queue takes a datagram only while it is below its capacity (which a profile change
      // may have lowered under what waits).
      const auto before = bwc.Queue(address);
      if (bwc.Enqueue(datagram) == BWCController::EnqueueResult::kQueued &&
          (!before || before->queued_bytes >= before->capacity)) {
        __builtin_trap();
      }
      break;
    }
    case 8:
      if (bwc.PeekPacketLength() != 0 || in.Byte() % 2) bwc.PopPacket();
      break;
    case 9:
      clock.Advance(std::chrono::milliseconds(in.Byte()));
      if (in.Byte() % 4 == 0) bwc.GetProfileStatistics();
      if (in.Byte() % 8 == 0) bwc.SetBufferTime(500 + in.Byte() * 40);
      break;
    case 10:
      bwc.AddAddress(in.Address6(), in.Alias());
      break;
    case 11:
      bwc.ChangeAddress(in.Address6(), in.Alias());
      break;
    case 12:
      bwc.RemoveAddress(in.Address6());
      break;
    case 13:
      OfferIpv6(bwc, in);
      break;
  }
}

void CheckPromises(const BWCController& bwc) {
  uint64_t summaries = 0;
  std::map<std::string, uint64_t> members;
  for (int i = 0; i < kAddresses; ++i) {
    for (const auto& queue : {bwc.Queue(Input::Ipv4Of(i)), bwc.Queue(Input::Ipv6Of(i))}) {
      if (queue) ++members[queue->profile.alias];
    }
  }
  for (const char* alias : kAliases) {
    const auto profile = bwc.Profile(alias);
    if (!profile) {
      if (members.count(alias)) __builtin_trap();  // an address lost its profile
      continue;
    }
    summaries += profile->summary;
    if (members[alias] * profile->guarantee > profile->summary) __builtin_trap();
    if (profile->maximum > profile->summary || profile->guarantee > profile->maximum)
      __builtin_trap();
  }
  if (summaries > bwc.physical_bandwidth()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static velmora::SimulatedClock clock;
  static velmora::Log log;  // without a console
  static BWCController bwc(clock, log);
  bwc.Clear();
  Input in(data, size);
  for (int steps = 0; !in.empty() && steps < 256; ++steps) {
    try {
      Step(bwc, clock, in);
    } catch (const BWCError&) {
      // A refusal; the promises must still hold.
    }
    CheckPromises(bwc);
  }
  return 0;
}
