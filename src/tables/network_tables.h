#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "tables/table_snapshot.h"

namespace velmora {

// The process-wide network tables: the snapshot that lookups search now. Publish swaps in a new
// one as a whole, so a reader sees either the old tables or the new ones, never a half-changed
// state. Any thread may call any member; the loader and TableEditor publish.
class NetworkTables {
 public:
  NetworkTables();

  // The current snapshot; the caller may keep it as long as it likes.
  std::shared_ptr<const TableSnapshot> Snapshot() const;
  // Counts the snapshots published; a reader compares it to see whether to fetch a new one.
  uint64_t version() const { return version_.load(std::memory_order_acquire); }
  void Publish(TableSnapshot snapshot);
  // A number no subnet had before, for a new subnet entry.
  SubnetId NewSubnetId() { return next_id_.fetch_add(1, std::memory_order_relaxed); }

 private:
  mutable std::mutex mutex_;  // guards the pointer swap only
  std::shared_ptr<const TableSnapshot> current_;
  std::atomic<uint64_t> version_{0};
  std::atomic<SubnetId> next_id_{1};
};

// One thread's view of the tables for the packet path: it holds a snapshot and fetches the new
// one only after a change was published, so a lookup costs one atomic load besides the search
// and takes no lock. The references it hands out stay valid until the next Current(). Owned and
// called by one thread.
class TableReader {
 public:
  explicit TableReader(const NetworkTables& tables) : tables_(tables) {}

  const TableSnapshot& Current() {
    const uint64_t version = tables_.version();
    if (version != version_ || snapshot_ == nullptr) {
      snapshot_ = tables_.Snapshot();
      version_ = version;
    }
    return *snapshot_;
  }

 private:
  const NetworkTables& tables_;
  std::shared_ptr<const TableSnapshot> snapshot_;
  uint64_t version_ = 0;
};

}  // namespace velmora
