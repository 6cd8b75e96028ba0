#include "tables/network_tables.h"

namespace velmora {

NetworkTables::NetworkTables() : current_(std::make_shared<const TableSnapshot>()) {}

std::shared_ptr<const TableSnapshot> NetworkTables::Snapshot() const {
  std::lock_guard lock(mutex_);
  return current_;
}

void NetworkTables::Publish(TableSnapshot snapshot) {
  auto next = std::make_shared<const TableSnapshot>(std::move(snapshot));
  std::shared_ptr<const TableSnapshot> old;
  {
    std::lock_guard lock(mutex_);
    old = std::move(current_);
    current_ = std::move(next);
    version_.fetch_add(1, std::memory_order_release);
  }
}

}  // namespace velmora
