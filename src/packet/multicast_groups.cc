#include "packet/multicast_groups.h"

#include <netinet/in.h>

#include "platform/udp_socket.h"
#include "support/cerrorcode.h"
#include "tables/network_tables.h"

namespace velmora {
namespace {

bool IsMulticast(uint32_t address) {
  return IN_MULTICAST(ntohl(address));
}

}  // namespace

MulticastGroups::MulticastGroups(Log& log, const NetworkTables& tables, InterfaceAddress interface)
    : log_(log), tables_(tables), interface_(std::move(interface)) {}

MulticastGroups::~MulticastGroups() = default;

void MulticastGroups::Join() {
  Drop();
  const uint32_t interface = interface_();
  const auto snapshot = tables_.Snapshot();
  std::lock_guard<std::mutex> guard(mutex_);
  for (const IpMacEntry& row : snapshot->ip_mac_rows()) {
    if (!IsMulticast(row.address) || memberships_.contains(row.address)) continue;
    if (auto socket = Open(row.address, interface)) {
      memberships_.emplace(row.address, std::move(socket));
    }
  }
}

std::unique_ptr<UdpSocket> MulticastGroups::Open(uint32_t group, uint32_t interface) {
  try {
    auto socket = std::make_unique<UdpSocket>(log_);
    socket->AllowAddressReuse();
    socket->Bind(interface, 0);
    socket->Join(group, interface);
    return socket;
  } catch (const cerrorcode&) {
    return nullptr;  // the socket has logged the failure
  }
}

void MulticastGroups::Rejoin() {
  const uint32_t interface = interface_();
  std::lock_guard<std::mutex> guard(mutex_);
  for (auto& [group, socket] : memberships_) {
    try {
      socket->Leave(group, interface);
      socket->Join(group, interface);
    } catch (const cerrorcode&) {
      // Logged by the socket; the next group is still renewed.
    }
  }
}

void MulticastGroups::Drop() {
  std::lock_guard<std::mutex> guard(mutex_);
  memberships_.clear();
}

std::vector<uint32_t> MulticastGroups::groups() const {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<uint32_t> held;
  for (const auto& entry : memberships_) held.push_back(entry.first);
  return held;
}

}  // namespace velmora
