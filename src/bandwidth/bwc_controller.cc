#include "bandwidth/bwc_controller.h"

#include <algorithm>
#include <cstring>

#include "bandwidth/bwc_error.h"
#include "platform/address_text.h"
#include "support/log.h"

namespace velmora::TessaroBWControl {

namespace {

// Where an inserter datagram carries its frame's EtherType, the version of its IP packet (behind
// the 8-byte QoS header and the 14-byte MAC header) and an IPv6 packet's destination.
constexpr size_t kEtherTypeAt = 8 + 12;
constexpr size_t kIpVersionAt = 8 + 14;
constexpr size_t kIpv6DestinationAt = kIpVersionAt + 24;
constexpr uint16_t kEtherTypeIpv4 = 0x0800;
constexpr uint16_t kEtherTypeIpv6 = 0x86DD;

enum class FrameKind { kIpv6, kByQosIp, kMismatched };

// An IPv6 frame is filed by its destination, any other by its QoS IP. A frame whose EtherType
// names one IP version and whose packet carries another has no queue, nor has an IPv6 packet
// under an EtherType other than IPv6's; the sources pass other EtherTypes on unexamined.
FrameKind KindOf(std::span<const uint8_t> datagram) {
  if (datagram.size() <= kIpVersionAt) return FrameKind::kByQosIp;
  const auto ether_type =
      static_cast<uint16_t>(datagram[kEtherTypeAt] << 8 | datagram[kEtherTypeAt + 1]);
  const int version = datagram[kIpVersionAt] >> 4;
  if (ether_type == kEtherTypeIpv6) return version == 6 ? FrameKind::kIpv6 : FrameKind::kMismatched;
  if (ether_type == kEtherTypeIpv4)
    return version == 4 ? FrameKind::kByQosIp : FrameKind::kMismatched;
  return version == 6 ? FrameKind::kMismatched : FrameKind::kByQosIp;
}

using Shared = std::shared_lock<std::shared_mutex>;
using Exclusive = std::lock_guard<std::shared_mutex>;

std::string NotFoundProfile(const std::string& alias) {
  return "Not found User Profile alias: \"" + alias + "\".";
}

std::string TextOf(uint32_t address) {
  return AddressToDotted(address);
}

std::string TextOf(const Ipv6Address& address) {
  return Ipv6ToText(address);
}

}  // namespace

BWCController::BWCController(Clock& clock, Log& log, std::unique_ptr<BWCTransmitter> transmitter)
    : BWCSender(clock, log, std::move(transmitter)),
      unplaced_(log, " datagram(s) without a queue dropped") {
  StartSending();
}

BWCController::~BWCController() {
  StopSending();
  Clear();
}

BWCController::EnqueueResult BWCController::Enqueue(std::span<const uint8_t> datagram) {
  Shared guard(mutex_);
  return EnqueueLocked(datagram);
}

void BWCController::Enqueue(std::span<const std::span<const uint8_t>> datagrams) {
  Shared guard(mutex_);
  for (const std::span<const uint8_t> datagram : datagrams) EnqueueLocked(datagram);
}

BWCController::EnqueueResult BWCController::EnqueueLocked(std::span<const uint8_t> datagram) {
  if (datagram.size() < 4) return EnqueueResult::kIgnored;
  const FrameKind kind = KindOf(datagram);
  if (kind == FrameKind::kIpv6) {
    Ipv6Address address;
    if (datagram.size() < kIpv6DestinationAt + address.size()) return EnqueueResult::kIgnored;
    std::copy_n(datagram.begin() + kIpv6DestinationAt, address.size(), address.begin());
    return FileLocked(address, datagram);
  }
  uint32_t address = 0;
  std::memcpy(&address, datagram.data(), sizeof address);
  if (kind == FrameKind::kMismatched) {
    CountUnplaced(address, "IP version does not match the EtherType.");
    return EnqueueResult::kNotConfigured;
  }
  return FileLocked(address, datagram);
}

template <typename Key>
BWCController::EnqueueResult BWCController::FileLocked(const Key& address,
                                                       std::span<const uint8_t> datagram) {
  const auto& map = MapOf(address);
  const auto found = map.find(address);
  if (found == map.end()) {
    CountUnplaced(address, "Not configured.");
    return EnqueueResult::kNotConfigured;
  }
  return found->second->Add({datagram.begin(), datagram.end()}) ? EnqueueResult::kQueued
                                                                : EnqueueResult::kQueueFull;
}

template <typename Key>
void BWCController::CountUnplaced(const Key& address, const char* why) {
  std::lock_guard<std::mutex> guard(unplaced_mutex_);
  unplaced_.Count(clock().Now(), [&] { return TextOf(address) + " - " + why + "; "; });
}

void BWCController::ReportLosses(Clock::TimePoint now, bool ended) {
  BWCSender::ReportLosses(now, ended);
  std::lock_guard<std::mutex> guard(unplaced_mutex_);
  if (ended) {
    unplaced_.Flush(now);
  } else {
    unplaced_.Tick(now);
  }
}

uint64_t BWCController::unplaced_datagrams() const {
  std::lock_guard<std::mutex> guard(unplaced_mutex_);
  return unplaced_.total();
}

uint64_t BWCController::discarded_datagrams() const {
  Shared guard(mutex_);
  return discarded_;
}

void BWCController::CheckRanges(const std::string& alias, uint32_t summary, uint32_t maximum,
                                uint32_t guarantee, uint32_t physical) {
  if (summary > physical)
    throw BWCError(alias + " - Summary bandwidth more than physical bandwidth");
  if (summary > kMaxSummary || summary < kMinSummary) {
    throw BWCError(alias + " - Summary bandwidth value don't belong to right range");
  }
  if (maximum > kMaxMaximum) {
    throw BWCError(alias + " - Maximum bandwidth value don't belong to right range");
  }
  if (guarantee > kMaxGuarantee) {
    throw BWCError(alias + " - Guarantee bandwidth value don't belong to right range");
  }
  if (maximum > summary) {
    throw BWCError(alias + " - Maximum bandwidth for each IP more than summary bandwidth");
  }
  if (guarantee > maximum) {
    throw BWCError(alias + " - Guarantee bandwidth for each IP more than maximum bandwidth");
  }
}

const BWCProfile& BWCController::ExistingProfile(const std::string& alias) const {
  const auto found = profiles_.find(alias);
  if (found == profiles_.end()) throw BWCError(alias + " - Not exist User Profile");
  return found->second;
}

uint64_t BWCController::AddressesOf(const std::string& alias, const BWCQueue* except) const {
  uint64_t count = 0;
  for (const BWCQueue* queue : order_) {
    if (queue->profile().alias == alias && queue != except) ++count;
  }
  return count;
}

uint64_t BWCController::SummaryTotal() const {
  uint64_t total = 0;
  for (const auto& [alias, profile] : profiles_) total += profile.summary;
  return total;
}

void BWCController::CheckRoomFor(const BWCProfile& profile, uint64_t addresses,
                                 const std::string& address) const {
  if ((addresses + 1) * profile.guarantee > profile.summary) {
    throw BWCError(profile.alias + " - Exceed summary bandwidth for this User Profile. IP - " +
                   address);
  }
}

void BWCController::AddProfile(const std::string& alias, uint32_t summary, uint32_t maximum,
                               uint32_t guarantee) {
  CheckRanges(alias, summary, maximum, guarantee, physical_bandwidth());
  Exclusive guard(mutex_);
  if (profiles_.size() >= kMaxProfiles) {
    throw BWCError(alias + " - Exceed maximum number of User Profile");
  }
  if (profiles_.contains(alias)) throw BWCError(alias + " - Duplicate User Profile");
  if (SummaryTotal() + summary > physical_bandwidth()) {
    throw BWCError(alias + " - Exceed physical bandwidth");
  }
  profiles_[alias] = {alias, summary, maximum, guarantee, 0};
}

void BWCController::ChangeProfile(const std::string& alias, uint32_t summary, uint32_t maximum,
                                  uint32_t guarantee) {
  CheckRanges(alias, summary, maximum, guarantee, physical_bandwidth());
  Exclusive guard(mutex_);
  const BWCProfile& old = ExistingProfile(alias);
  if (SummaryTotal() - old.summary + summary > physical_bandwidth()) {
    throw BWCError(alias + " - Exceed physical bandwidth");
  }
  if (AddressesOf(alias) * guarantee > summary) {
    throw BWCError(alias + " - Exceed summary bandwidth for this User Profile.");
  }
  BWCProfile& profile = profiles_[alias];
  profile.summary = summary;
  profile.maximum = maximum;
  profile.guarantee = guarantee;
  for (BWCQueue* queue : order_) {
    if (queue->profile().alias == alias) queue->SetProfile(profile, buffer_ms_);
  }
}

void BWCController::RemoveProfile(const std::string& alias) {
  Exclusive guard(mutex_);
  ExistingProfile(alias);
  if (AddressesOf(alias) > 0) throw BWCError(alias + " - IP(s) exist with this User Profile");
  profiles_.erase(alias);
}

void BWCController::AddAddress(uint32_t address, const std::string& alias) {
  Add(address, alias);
}

void BWCController::ChangeAddress(uint32_t address, const std::string& alias) {
  Change(address, alias);
}

void BWCController::RemoveAddress(uint32_t address) {
  Remove(address);
}

void BWCController::AddAddress(const Ipv6Address& address, const std::string& alias) {
  Add(address, alias);
}

void BWCController::ChangeAddress(const Ipv6Address& address, const std::string& alias) {
  Change(address, alias);
}

void BWCController::RemoveAddress(const Ipv6Address& address) {
  Remove(address);
}

template <typename Key>
void BWCController::Add(const Key& address, const std::string& alias) {
  Exclusive guard(mutex_);
  QueueMap<Key>& map = MapOf(address);
  if (map.contains(address)) throw BWCError(TextOf(address) + " - Duplicate IP");
  const auto found = profiles_.find(alias);
  if (found == profiles_.end()) throw BWCError(NotFoundProfile(alias));
  CheckRoomFor(found->second, AddressesOf(alias), TextOf(address));
  map[address] = std::make_unique<BWCQueue>(found->second, buffer_ms_, clock().Now());
  RebuildOrder();
}

template <typename Key>
void BWCController::Change(const Key& address, const std::string& alias) {
  Exclusive guard(mutex_);
  QueueMap<Key>& map = MapOf(address);
  const auto queue = map.find(address);
  if (queue == map.end()) throw BWCError(TextOf(address) + " - not found IP");
  const auto found = profiles_.find(alias);
  if (found == profiles_.end()) throw BWCError(NotFoundProfile(alias));
  CheckRoomFor(found->second, AddressesOf(alias, queue->second.get()), TextOf(address));
  queue->second->SetProfile(found->second, buffer_ms_);
}

template <typename Key>
void BWCController::Remove(const Key& address) {
  Exclusive guard(mutex_);
  QueueMap<Key>& map = MapOf(address);
  const auto queue = map.find(address);
  if (queue == map.end()) throw BWCError(TextOf(address) + " - not found IP");
  if (chosen_ == queue->second.get()) chosen_ = nullptr;
  discarded_ += queue->second->queued_packets();
  map.erase(queue);
  RebuildOrder();
}

void BWCController::RebuildOrder() {
  order_.clear();
  order_.reserve(queues_.size() + ipv6_queues_.size());
  for (const auto& [address, queue] : queues_) order_.push_back(queue.get());
  for (const auto& [address, queue] : ipv6_queues_) order_.push_back(queue.get());
}

void BWCController::Clear() {
  Enable(false);
  Exclusive guard(mutex_);
  chosen_ = nullptr;
  for (const BWCQueue* queue : order_) discarded_ += queue->queued_packets();
  order_.clear();
  queues_.clear();
  ipv6_queues_.clear();
  profiles_.clear();
}

void BWCController::SetPhysicalBandwidth(uint32_t value) {
  if (value > kMaxPhysical || value < kMinPhysical) {
    throw BWCError("Physical bandwidth value don't belong to right range");
  }
  Exclusive guard(mutex_);
  if (SummaryTotal() > value) {
    throw BWCError("New physical bandwidth value is less than summa of User Profiles Summary BW");
  }
  set_rate_limit(value);
}

void BWCController::SetBufferTime(uint32_t ms) {
  Exclusive guard(mutex_);
  buffer_ms_ = ms;
}

BWCQueue* BWCController::BestQueue(Clock::TimePoint now) const {
  BWCQueue* best = nullptr;
  uint64_t best_priority = BWCQueue::kMayNotSend;
  for (BWCQueue* queue : order_) {
    const uint64_t priority = queue->Priority(now);
    if (priority < best_priority) {
      best = queue;
      best_priority = priority;
    }
  }
  return best;
}

uint32_t BWCController::PeekPacketLength() {
  const Clock::TimePoint now = clock().Now();
  Shared guard(mutex_);
  chosen_ = BestQueue(now);
  return chosen_ ? static_cast<uint32_t>(chosen_->OldestLength()) : 0;
}

std::vector<uint8_t> BWCController::PopPacket() {
  const Clock::TimePoint now = clock().Now();
  Shared guard(mutex_);
  BWCQueue* queue = chosen_ ? chosen_ : BestQueue(now);
  chosen_ = nullptr;
  if (!queue) return {};
  return queue->Take(now);
}

BWCStatistics BWCController::GetProfileStatistics() {
  BWCStatistics out;
  Exclusive guard(mutex_);
  for (const auto& [alias, profile] : profiles_) out.profiles[alias].profile = profile;
  const Clock::TimePoint now = clock().Now();
  for (BWCQueue* queue : order_) {
    BWCProfileStatistics& entry = out.profiles[queue->profile().alias];
    if (entry.profile.alias.empty()) entry.profile = queue->profile();
    ++entry.address_count;
    const uint64_t current = queue->meter().CurrentRate(now);
    entry.current += current;
    entry.dropped = entry.dropped || queue->dropped_since_reset();
    if (entry.level > 2 && current != 0) entry.level = 2;
    if (entry.level > 1 && current > queue->profile().guarantee) entry.level = 1;
    if (entry.level > 0 && queue->TakeDropped()) entry.level = 0;
  }
  out.address_count = static_cast<uint32_t>(order_.size());
  for (auto& [alias, entry] : out.profiles) {
    out.current_total += entry.current;
    if (entry.current > entry.profile.peak) {
      entry.profile.peak = static_cast<uint32_t>(std::min<uint64_t>(entry.current, UINT32_MAX));
      const auto stored = profiles_.find(alias);
      if (stored != profiles_.end()) stored->second.peak = entry.profile.peak;
    }
    if (entry.profile.summary != 0) {
      entry.share = static_cast<uint32_t>(entry.current * 100 / entry.profile.summary);
    }
  }
  peak_total_ = std::max(peak_total_, out.current_total);
  out.peak_total = peak_total_;
  return out;
}

void BWCController::ResetPeaks() {
  Exclusive guard(mutex_);
  peak_total_ = 0;
  for (auto& [alias, profile] : profiles_) profile.peak = 0;
  for (BWCQueue* queue : order_) queue->ResetDropped();
}

std::optional<BWCProfile> BWCController::Profile(const std::string& alias) const {
  Shared guard(mutex_);
  const auto found = profiles_.find(alias);
  if (found == profiles_.end()) return std::nullopt;
  return found->second;
}

std::optional<BWCController::QueueState> BWCController::Queue(uint32_t address) const {
  return StateOf(address);
}

std::optional<BWCController::QueueState> BWCController::Queue(const Ipv6Address& address) const {
  return StateOf(address);
}

template <typename Key>
std::optional<BWCController::QueueState> BWCController::StateOf(const Key& address) const {
  Shared guard(mutex_);
  const QueueMap<Key>& map = MapOf(address);
  const auto found = map.find(address);
  if (found == map.end()) return std::nullopt;
  const BWCQueue& queue = *found->second;
  return QueueState{queue.profile(), queue.capacity(), queue.priority_offset(),
                    queue.queued_bytes(), queue.queued_packets()};
}

}  // namespace velmora::TessaroBWControl
