#include "stats/traffic_statistics.h"

#include <arpa/inet.h>

#include <algorithm>
#include <bitset>
#include <cinttypes>
#include <cstdio>

#include "platform/address_text.h"
#include "platform/file_system.h"
#include "support/log.h"
#include "support/words.h"

namespace velmora {

namespace {

constexpr const char* kHeader =
    "<Destination IP><Packets><Bytes><SUMBCUR><SUMBAVR><SUMBMAX><BWDCUR><BWDAVR><BWDAVRACT>"
    "<BWDMAX><Started><Ended>";

int64_t ElapsedMs(LocalFileTime from, LocalFileTime to) {
  return (to - from) / kFileTimeTicksPerMs;
}

// bytes over milliseconds in kbit/s; 0 without elapsed time.
uint32_t Rate(uint64_t bytes, int64_t ms) {
  return ms > 0 ? static_cast<uint32_t>(bytes * 1000 / static_cast<uint64_t>(ms) / 128) : 0;
}

std::optional<uint64_t> Number(std::string_view word) {
  if (word.empty() || word.size() > 20 || word.find_first_not_of("0123456789") != word.npos) {
    return std::nullopt;
  }
  uint64_t value = 0;
  for (char c : word) value = value * 10 + static_cast<uint64_t>(c - '0');
  return value;
}

std::string Trimmed(std::string_view line) {
  const size_t begin = line.find_first_not_of(" \"\t\r\n");
  if (begin == std::string_view::npos) return {};
  return std::string(line.substr(begin, line.find_last_not_of(" \"\t\r\n") - begin + 1));
}

std::vector<std::pair<uint32_t, AddressStatistics>> SortedByAddress(
    std::vector<std::pair<uint32_t, AddressStatistics>> records) {
  std::sort(records.begin(), records.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  return records;
}

}  // namespace

TrafficStatistics::TrafficStatistics(FileSystem& files, Clock& clock, Log& log,
                                     LocalFileTime local_time_now)
    : files_(files),
      clock_(clock),
      log_(log),
      steady_start_(clock.Now()),
      local_start_(local_time_now) {
  summary_.start = local_start_;
}

LocalFileTime TrafficStatistics::Now() const {
  return local_start_ + (clock_.Now() - steady_start_).count() / 100;
}

void TrafficStatistics::CountPackets(std::span<const Packet> packets) {
  if (!enabled_.load(std::memory_order_relaxed)) return;
  const LocalFileTime now = Now();
  std::bitset<kShards> counted;
  for (size_t first = 0; first < packets.size(); ++first) {
    const size_t index = ShardIndex(packets[first].address);
    if (counted[index]) continue;
    counted[index] = true;
    Shard& shard = shards_[index];
    std::lock_guard lock(shard.mutex);
    if (!shard.counting) continue;  // a switch to no file got here first
    for (size_t i = first; i < packets.size(); ++i) {
      if (ShardIndex(packets[i].address) == index) CountLocked(shard, packets[i], now);
    }
  }
}

void TrafficStatistics::CountLocked(Shard& shard, const Packet& packet, LocalFileTime now) {
  shard.period_bytes += packet.length;
  AddressStatistics& record = shard.addresses[packet.address];
  ++record.packets;
  record.bytes += packet.length;
  record.period_bytes += packet.length;
  if (record.started == 0) record.started = now;
  record.ended = std::max(record.ended, now);
  record.active = true;
}

void TrafficStatistics::Tick() {
  std::lock_guard lock(mutex_);
  if (active_name_.empty()) return;
  const LocalFileTime now = Now();
  uint64_t period = 0;
  for (Shard& shard : shards_) {
    std::lock_guard shard_lock(shard.mutex);
    period += std::exchange(shard.period_bytes, 0);
  }
  StatisticsSummary& s = summary_;
  s.current_bandwidth = static_cast<uint32_t>(period / 256);
  s.total_bytes += period;
  const int64_t elapsed = s.start != 0 ? ElapsedMs(s.start, now) : 0;
  if (elapsed > 0) s.average_bandwidth = Rate(s.total_bytes, elapsed);
  s.maximum_bandwidth = std::max(s.maximum_bandwidth, s.current_bandwidth);
  for (Shard& shard : shards_) {
    std::lock_guard shard_lock(shard.mutex);
    for (auto& [address, r] : shard.addresses) {
      r.current_rate = r.period_bytes / 256;
      r.period_bytes = 0;
      if (r.started != 0) {
        if (const int64_t ms = ElapsedMs(r.started, now); ms > 0)
          r.average_rate = Rate(r.bytes, ms);
        if (const int64_t ms = ElapsedMs(r.started, r.ended); ms > 0) {
          r.active_average_rate = Rate(r.bytes, ms);
        }
      }
      r.maximum_rate = std::max(r.maximum_rate, r.current_rate);
    }
  }
  if (s.ticks != 30) {
    ++s.ticks;
    return;
  }
  s.ticks = 0;
  uint32_t active = 0;
  for (Shard& shard : shards_) {
    std::lock_guard shard_lock(shard.mutex);
    for (auto& [address, r] : shard.addresses) {
      active += r.active ? 1 : 0;
      r.active = false;
    }
  }
  s.current_active = active;
  s.maximum_active = std::max(s.maximum_active, active);
  s.active_sum += active;
  if (elapsed > 0) {
    s.average_active =
        static_cast<uint32_t>((s.active_sum * 60000 + 30000) / static_cast<uint64_t>(elapsed));
  }
  WriteFileLocked();
}

void TrafficStatistics::WriteFile() {
  std::lock_guard lock(mutex_);
  WriteFileLocked();
}

void TrafficStatistics::WriteFileLocked() {
  if (active_name_.empty()) return;
  if (std::string today = DatedName(given_name_); today != active_name_) {
    SwitchTo(std::move(today));
  }
  WriteRecords(active_name_, Addresses());
}

void TrafficStatistics::WriteRecords(const std::string& name, const Records& records) const {
  std::string text = kHeader;
  text += "\r\n";
  char numbers[256];
  const StatisticsSummary& s = summary_;
  for (const auto& [address, r] : records) {
    if (r.started == 0) continue;
    std::snprintf(numbers, sizeof numbers, " %" PRIu32 " %" PRIu64 " %u %u %u %u %u %u %u ",
                  r.packets, r.bytes, s.current_bandwidth, s.average_bandwidth, s.maximum_bandwidth,
                  r.current_rate, r.average_rate, r.active_average_rate, r.maximum_rate);
    text += AddressToDotted(address) + numbers + FormatLocalFileTime(r.started) + " " +
            FormatLocalFileTime(r.ended) + "\r\n";
  }
  if (!files_.WriteFileAtomically(name, text)) {
    log_ << "Cannot write the statistic file " << name << "\n";
  }
}

std::string TrafficStatistics::DatedName(const std::string& name) const {
  std::string dated = name;
  if (const size_t at = dated.find("<date>"); at != std::string::npos) {
    dated.replace(at, 6, LocalDateText(Now()));
  }
  return dated;
}

void TrafficStatistics::SetFile(const std::string& name) {
  std::lock_guard lock(mutex_);
  if (name == given_name_) return;
  given_name_ = name;
  std::string dated = DatedName(name);
  if (dated == active_name_) return;  // another name of the file in use: its counts stay
  SwitchTo(std::move(dated));
}

void TrafficStatistics::SwitchTo(std::string name) {
  Records loaded;
  if (!name.empty()) {
    if (log_.level() >= 3) log_ << "Statistic file name is \"" << name << "\"\n";
    if (const std::optional<std::string> text = files_.ReadFile(name)) loaded = ParseFile(*text);
  }
  Records old = ReplaceAddresses(loaded, !name.empty());
  if (!active_name_.empty()) WriteRecords(active_name_, SortedByAddress(std::move(old)));
  active_name_ = std::move(name);
}

TrafficStatistics::Records TrafficStatistics::ReplaceAddresses(const Records& records,
                                                               bool enabled) {
  std::array<Records, kShards> by_shard;
  for (const auto& record : records) by_shard[ShardIndex(record.first)].push_back(record);
  if (!enabled) enabled_.store(false, std::memory_order_relaxed);
  Records old;
  for (size_t i = 0; i < kShards; ++i) {
    Shard& shard = shards_[i];
    std::lock_guard lock(shard.mutex);
    old.insert(old.end(), shard.addresses.begin(), shard.addresses.end());
    shard.addresses.clear();
    for (const auto& [address, record] : by_shard[i]) shard.addresses[address] = record;
    shard.counting = enabled;
  }
  if (enabled) enabled_.store(true, std::memory_order_relaxed);
  return old;
}

TrafficStatistics::Records TrafficStatistics::ParseFile(std::string_view rest) const {
  Records records;
  while (!rest.empty()) {
    const size_t end = std::min(rest.find('\n'), rest.size());
    const std::string line = Trimmed(rest.substr(0, std::min<size_t>(end, 1023)));
    rest.remove_prefix(std::min(end + 1, rest.size()));
    if (line.empty() || line.front() == ';') continue;
    const std::vector<std::string_view> words = SplitWords(line);
    const uint32_t address = DottedToAddress(std::string(words[0]));
    if (address == 0xffffffff) continue;  // the header, or no address
    const auto packets = words.size() >= 7 ? Number(words[1]) : std::nullopt;
    const auto bytes = words.size() >= 7 ? Number(words[2]) : std::nullopt;
    if (!packets || !bytes) {
      log_ << "Statistic file line skipped: " << line << "\n";
      continue;
    }
    const size_t n = words.size();
    AddressStatistics record{.packets = static_cast<uint32_t>(*packets), .bytes = *bytes};
    record.started = ParseLocalFileTime(words[n - 4], words[n - 3]).value_or(0);
    record.ended = ParseLocalFileTime(words[n - 2], words[n - 1]).value_or(0);
    records.emplace_back(address, record);
  }
  return records;
}

void TrafficStatistics::ResetAddress(uint32_t address) {
  Shard& shard = ShardOf(address);
  std::lock_guard lock(shard.mutex);
  const auto it = shard.addresses.find(address);
  if (it != shard.addresses.end()) it->second = AddressStatistics();
}

void TrafficStatistics::ResetAll() {
  std::lock_guard lock(mutex_);
  for (Shard& shard : shards_) {
    std::lock_guard shard_lock(shard.mutex);
    for (auto& [address, record] : shard.addresses) record = AddressStatistics();
    shard.period_bytes = 0;
  }
  summary_.start = Now();
  summary_.total_bytes = 0;
  summary_.active_sum = 0;
  summary_.current_bandwidth = summary_.average_bandwidth = summary_.maximum_bandwidth = 0;
}

std::string TrafficStatistics::ListAddresses(const std::function<bool(uint32_t)>& has_row,
                                             bool human) const {
  const std::vector<uint32_t> all = AddressList();
  const std::string count = std::to_string(all.size()) + "\r\n";
  std::string text = human ? "*** Velmora *** - IP statistic list: \r\nIP count: " + count : count;
  text.reserve(text.size() + all.size() * (human ? 26 : 22));
  char dotted[INET_ADDRSTRLEN];
  for (const uint32_t address : all) {
    if (human) text += "IP: ";
    ::inet_ntop(AF_INET, &address, dotted, sizeof dotted);
    text += dotted;
    text += has_row(address) ? " 1\r\n" : " 0\r\n";
  }
  return text;
}

std::vector<uint32_t> TrafficStatistics::AddressList() const {
  std::vector<uint32_t> all;
  for (const Shard& shard : shards_) {
    std::lock_guard lock(shard.mutex);
    for (const auto& record : shard.addresses) all.push_back(record.first);
  }
  std::sort(all.begin(), all.end());
  return all;
}

std::optional<AddressStatistics> TrafficStatistics::Address(uint32_t address) const {
  const Shard& shard = shards_[ShardIndex(address)];
  std::lock_guard lock(shard.mutex);
  const auto it = shard.addresses.find(address);
  if (it == shard.addresses.end()) return std::nullopt;
  return it->second;
}

TrafficStatistics::Records TrafficStatistics::Addresses() const {
  Records all;
  for (const Shard& shard : shards_) {
    std::lock_guard lock(shard.mutex);
    all.insert(all.end(), shard.addresses.begin(), shard.addresses.end());
  }
  return SortedByAddress(std::move(all));
}

StatisticsSummary TrafficStatistics::Summary() const {
  std::lock_guard lock(mutex_);
  return summary_;
}

std::string TrafficStatistics::active_file() const {
  std::lock_guard lock(mutex_);
  return active_name_;
}

}  // namespace velmora
