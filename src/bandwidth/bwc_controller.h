#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <vector>

#include "bandwidth/bwc_profile.h"
#include "bandwidth/bwc_queue.h"
#include "bandwidth/bwc_sender.h"
#include "platform/address_text.h"
#include "support/loss_series.h"

namespace velmora::TessaroBWControl {

// One row of the per-profile statistics. Levels: 3 no traffic, 2 within the guarantees, 1 some
// address above its guarantee, 0 datagrams were dropped since the last statistics call.
struct BWCProfileStatistics {
  BWCProfile profile;
  uint64_t current = 0;  // bit/s, summed over the profile's addresses
  uint32_t address_count = 0;
  uint32_t share = 0;  // current as a percentage of the summary
  int level = 3;
  bool dropped = false;  // an address dropped datagrams since the last reset of peaks
};

struct BWCStatistics {
  std::map<std::string, BWCProfileStatistics> profiles;
  uint32_t address_count = 0;
  uint64_t current_total = 0;
  uint64_t peak_total = 0;
};

// Bandwidth management: the user profiles, the queue of every shaped destination address (IPv4
// and IPv6 alike, under the same rules), the admission rules that keep every promise within the
// physical bandwidth, and the scheduler that tells the paced sender which datagram goes next
// (guarantees first, then maxima). One lives for the whole process. Source threads call Enqueue
// and the sender thread Peek/Pop under the shared side of one lock, so that a source never waits
// while the sender chooses; the control thread's profile operations and statistics take it
// exclusively. A queue's lock and a meter's lock are only ever taken inside it.
class BWCController final : public BWCSender {
 public:
  static constexpr size_t kMaxProfiles = 64;
  static constexpr uint32_t kMinPhysical = 2'000'000;
  static constexpr uint32_t kMaxPhysical = 15'000'000;
  static constexpr uint32_t kMinSummary = 56'000;
  static constexpr uint32_t kMaxSummary = 15'000'000;
  static constexpr uint32_t kMaxMaximum = 15'000'000;
  static constexpr uint32_t kMaxGuarantee = 2'000'000;
  static constexpr uint32_t kDefaultBufferMs = 3000;

  enum class EnqueueResult { kQueued, kIgnored, kQueueFull, kNotConfigured };

  BWCController(Clock& clock, Log& log,
                std::unique_ptr<BWCTransmitter> transmitter = std::make_unique<UdpTransmitter>());
  ~BWCController() override;

  // Files a copy of an inserter datagram in the queue of its destination: an IPv6 frame's by the
  // 16 bytes of its destination, any other's by its QoS IP (the first four bytes). A frame whose
  // EtherType (0x0800, 0x86DD) and IP version disagree, or an IPv6 packet under another EtherType,
  // has no queue. A datagram without a queue is dropped and counted, with a log line at most once
  // a second and the last count of a series logged a second later or when shaping stops.
  EnqueueResult Enqueue(std::span<const uint8_t> datagram);
  // A source's batch, in order, as Enqueue does each, under one hold of the shared lock.
  void Enqueue(std::span<const std::span<const uint8_t>> datagrams);

  // The profile operations: each raises BWCError with the operator's message and then has
  // changed nothing.
  void AddProfile(const std::string& alias, uint32_t summary, uint32_t maximum, uint32_t guarantee);
  void ChangeProfile(const std::string& alias, uint32_t summary, uint32_t maximum,
                     uint32_t guarantee);
  void RemoveProfile(const std::string& alias);
  void AddAddress(uint32_t address, const std::string& alias);
  void ChangeAddress(uint32_t address, const std::string& alias);
  void RemoveAddress(uint32_t address);
  void AddAddress(const Ipv6Address& address, const std::string& alias);
  void ChangeAddress(const Ipv6Address& address, const std::string& alias);
  void RemoveAddress(const Ipv6Address& address);
  // Disables the sender, logs the counts of lost datagrams not yet logged, then removes every
  // address with its datagrams and every profile.
  void Clear();

  void SetPhysicalBandwidth(uint32_t value) override;
  void SetBufferTime(uint32_t ms) override;
  // The scheduler: the sender thread's alone while it is enabled (a test may call them while it
  // is not). Each choice walks every queue under the shared lock.
  uint32_t PeekPacketLength() override;
  std::vector<uint8_t> PopPacket() override;

  BWCStatistics GetProfileStatistics();
  void ResetPeaks();

  uint32_t physical_bandwidth() const { return rate_limit(); }
  uint64_t unplaced_datagrams() const;
  // Datagrams that were still waiting when their queue was removed (RemoveAddress, Clear).
  uint64_t discarded_datagrams() const;
  std::optional<BWCProfile> Profile(const std::string& alias) const;
  // The queue's figures as a copy: capacity, bytes and datagrams waiting, profile copy.
  struct QueueState {
    BWCProfile profile;
    uint64_t capacity = 0;
    uint64_t priority_offset = 0;
    uint64_t queued_bytes = 0;
    size_t queued_packets = 0;
  };
  std::optional<QueueState> Queue(uint32_t address) const;
  std::optional<QueueState> Queue(const Ipv6Address& address) const;

 protected:
  void ReportLosses(Clock::TimePoint now, bool ended) override;

 private:
  template <typename Key>
  using QueueMap = std::map<Key, std::unique_ptr<BWCQueue>>;

  QueueMap<uint32_t>& MapOf(uint32_t) { return queues_; }
  QueueMap<Ipv6Address>& MapOf(const Ipv6Address&) { return ipv6_queues_; }
  const QueueMap<uint32_t>& MapOf(uint32_t) const { return queues_; }
  const QueueMap<Ipv6Address>& MapOf(const Ipv6Address&) const { return ipv6_queues_; }
  template <typename Key>
  void Add(const Key& address, const std::string& alias);
  template <typename Key>
  void Change(const Key& address, const std::string& alias);
  template <typename Key>
  void Remove(const Key& address);
  template <typename Key>
  std::optional<QueueState> StateOf(const Key& address) const;
  // With the lock held shared: Enqueue's work, and the filing of a copy in `address`'s queue.
  EnqueueResult EnqueueLocked(std::span<const uint8_t> datagram);
  template <typename Key>
  EnqueueResult FileLocked(const Key& address, std::span<const uint8_t> datagram);
  // The queues in the order the scheduler walks them: IPv4 by key, then IPv6 by key.
  void RebuildOrder();

  static void CheckRanges(const std::string& alias, uint32_t summary, uint32_t maximum,
                          uint32_t guarantee, uint32_t physical);
  const BWCProfile& ExistingProfile(const std::string& alias) const;
  // Addresses assigned to `alias`, not counting `except`.
  uint64_t AddressesOf(const std::string& alias, const BWCQueue* except = nullptr) const;
  uint64_t SummaryTotal() const;
  void CheckRoomFor(const BWCProfile& profile, uint64_t addresses,
                    const std::string& address) const;
  // The queue that should send next and its priority, or none that may.
  BWCQueue* BestQueue(Clock::TimePoint now) const;
  // One datagram without a queue for `address`; `why` ends its context in the log line
  // ("Not configured.").
  template <typename Key>
  void CountUnplaced(const Key& address, const char* why);

  mutable std::shared_mutex mutex_;
  std::map<std::string, BWCProfile> profiles_;
  QueueMap<uint32_t> queues_;
  QueueMap<Ipv6Address> ipv6_queues_;
  std::vector<BWCQueue*> order_;
  BWCQueue* chosen_ = nullptr;  // written by the sender thread, or under the exclusive lock
  uint64_t peak_total_ = 0;
  uint64_t discarded_ = 0;
  uint32_t buffer_ms_ = kDefaultBufferMs;
  mutable std::mutex unplaced_mutex_;  // taken inside the shared lock
  LossSeries unplaced_;
};

}  // namespace velmora::TessaroBWControl
