#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "stats/local_time.h"
#include "support/clock.h"

namespace velmora {

class FileSystem;
class Log;

// The counters of one destination address. Rates in kbit/s (1 kbit = 1024 bits).
struct AddressStatistics {
  uint32_t packets = 0;
  uint64_t bytes = 0;
  uint32_t maximum_rate = 0;
  uint32_t average_rate = 0;         // over the time since the first packet
  uint32_t current_rate = 0;         // of the last tick period
  uint32_t active_average_rate = 0;  // over the time from the first to the last packet
  LocalFileTime started = 0;         // 0: no packet since the last reset
  LocalFileTime ended = 0;
  uint32_t period_bytes = 0;
  bool active = false;  // a packet since the last file period
  bool operator==(const AddressStatistics&) const = default;
};

// The figures over all addresses.
struct StatisticsSummary {
  LocalFileTime start = 0;
  uint64_t total_bytes = 0;
  uint32_t current_bandwidth = 0, average_bandwidth = 0, maximum_bandwidth = 0;  // kbit/s
  uint32_t current_active = 0, average_active = 0, maximum_active = 0;
  uint64_t active_sum = 0;
  int ticks = 0;  // 0 to 30; the file is written when it wraps
};

// Per destination address: packets, bytes, first and last packet and rates, kept across restarts
// in the statistic file. Counting happens only while a file name is set. The addresses are
// spread over a few locked shards so that source threads rarely wait for each other, and the
// file is formatted under the locks but written outside them. Elapsed times come from the
// monotonic clock: the local times it keeps are the start's local time plus the monotonic time
// since. Any thread may call any member.
class TrafficStatistics {
 public:
  TrafficStatistics(FileSystem& files, Clock& clock, Log& log, LocalFileTime local_time_now);

  struct Packet {
    uint32_t address;  // network byte order
    uint32_t length;
  };
  void CountPacket(uint32_t address, uint32_t length) {
    const Packet packet{address, length};
    CountPackets({&packet, 1});
  }
  // A source's batch: one clock reading, and one lock for each shard its addresses fall in.
  void CountPackets(std::span<const Packet> packets);
  // Every two seconds: the rates; every 31st tick the file.
  void Tick();
  // Switches to another file ("<date>" becomes today's YYYY-MM-DD): writes the old one, empties
  // the counters and reads the new one back, while the sources go on counting: each packet is
  // counted in the old file or in the new one. A name that stands for the file in use (today's
  // date for "<date>", or back) keeps the counters. An empty name stops the statistics.
  void SetFile(const std::string& name);
  // Writes the file; the first write on a new day switches a "<date>" name to that day's file
  // first, as SetFile does.
  void WriteFile();
  void ResetAddress(uint32_t address);
  void ResetAll();

  // The remote control's address list, its human text or its machine text, formatted after the
  // addresses were copied out of the shards, so the packet sources never wait for it. `has_row`
  // tells whether the IP/MAC table resolves an address.
  std::string ListAddresses(const std::function<bool(uint32_t)>& has_row, bool human) const;

  std::optional<AddressStatistics> Address(uint32_t address) const;
  // In file order: by the address word as a little-endian number, the last octet weighing most.
  using Records = std::vector<std::pair<uint32_t, AddressStatistics>>;
  Records Addresses() const;
  // The addresses alone, in the same order.
  std::vector<uint32_t> AddressList() const;
  StatisticsSummary Summary() const;
  std::string active_file() const;

 private:
  static constexpr size_t kShards = 64;
  // A cache line or more of its own, so that threads counting into different shards never
  // share one.
  struct alignas(64) Shard {
    mutable std::mutex mutex;
    std::unordered_map<uint32_t, AddressStatistics> addresses;
    uint64_t period_bytes = 0;  // of the shard's addresses since the last tick
    bool counting = false;      // a file is set; enabled_ is its lock-free hint
  };

  LocalFileTime Now() const;
  static size_t ShardIndex(uint32_t address) { return (address * 0x9e3779b1u) >> 26; }
  Shard& ShardOf(uint32_t address) { return shards_[ShardIndex(address)]; }
  // With the shard's lock held.
  static void CountLocked(Shard& shard, const Packet& packet, LocalFileTime now);
  // With mutex_ held: the file is formatted under the shard locks, one at a time, and written
  // after them, so a packet source never waits for the disk.
  void WriteFileLocked();
  void WriteRecords(const std::string& name, const Records& records) const;
  // The file name with "<date>" replaced by today's date.
  std::string DatedName(const std::string& name) const;
  // With mutex_ held: the counters move to the file `name` (none when empty), read before any
  // shard is locked, and the old file gets what was counted up to the switch.
  void SwitchTo(std::string name);
  // Puts `records` in place of all counters, turns counting on or off and returns the counters
  // replaced. Shard by shard under its lock, so each packet counts either before its shard's
  // switch (in the counters returned) or after it (on top of `records`).
  Records ReplaceAddresses(const Records& records, bool enabled);
  Records ParseFile(std::string_view text) const;

  FileSystem& files_;
  Clock& clock_;
  Log& log_;
  const Clock::TimePoint steady_start_;
  const LocalFileTime local_start_;

  std::array<Shard, kShards> shards_;
  std::atomic<bool> enabled_{false};

  // The names, the summary and the file; taken before any shard, never by CountPacket.
  mutable std::mutex mutex_;
  std::string given_name_;
  std::string active_name_;
  StatisticsSummary summary_;
};

}  // namespace velmora
