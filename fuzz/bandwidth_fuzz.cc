// Any sequence of profile, address, physical-bandwidth, queue and clock operations on the
// bandwidth controller: refusals are BWCError only, and after every step the promises hold (the
// summaries within the physical bandwidth, each profile's guarantees within its summary, no
// address without its profile), and a queue takes a datagram only below its capacity.

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bandwidth/bwc_controller.h"
#include "bandwidth/bwc_error.h"
#include "support/log.h"

namespace {

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
  uint32_t Address() {
    return 0x0000000a | uint32_t{static_cast<uint8_t>(Byte() % kAddresses)} << 24;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

void Step(BWCController& bwc, velmora::SimulatedClock& clock, Input& in) {
  switch (in.Byte() % 10) {
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
  }
}

void CheckPromises(const BWCController& bwc) {
  uint64_t summaries = 0;
  std::map<std::string, uint64_t> members;
  for (int i = 0; i < kAddresses; ++i) {
    const auto queue = bwc.Queue(0x0000000a | uint32_t(i) << 24);
    if (!queue) continue;
    ++members[queue->profile.alias];
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
