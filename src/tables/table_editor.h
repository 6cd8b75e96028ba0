#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/operator_prompt.h"
#include "tables/network_tables.h"
#include "tables/route_hooks.h"

namespace velmora {

// Why a change was not made.
enum class TableRefusal {
  kNone,
  kCancelled,  // the operator said No or Cancel
  kNoSuchEntry,
  kInvalidSubnetAddress,
  kInvalidSubnetMask,
  kIncompatibleMask,
  kSubnetExists,
  kSubnetTableFull,
  kBadAlias,
  kInvalidIp,
  kOutOfSubnet,
  kNoSubnetForIp,
  kIpExists,
  kInvalidMac,
  kRowTableFull,
  kInvalidIpv6,
  kUnknownProfile,
};

// The outcome of one change.
struct TableChange {
  TableRefusal refusal = TableRefusal::kNone;
  std::string message;    // the refusal as shown
  SubnetId subnet = 0;    // the subnet added or edited
  bool pid_zero = false;  // a PID of 0 was stored
  size_t rows_added = 0;
  size_t rows_removed = 0;
  std::vector<std::string> skipped;  // range rows that existed already
  bool ok() const { return refusal == TableRefusal::kNone; }
};

// What the operator types for an IPv4 subnet.
struct SubnetFields {
  std::string alias;
  std::string address;
  std::string mask;
  uint16_t pid = 0;
};

// Every change of the network tables: validates it with the messages and questions the operator
// sees, builds the changed tables from a copy and publishes them, then keeps the system's routes
// in line. Questions and refusals go to the prompt of the caller (the settings pages ask the
// operator; the remote control answers for itself). Changes are serialised; any thread may call.
class TableEditor {
 public:
  TableEditor(NetworkTables& tables, RouteHooks& hooks, std::function<bool()> per_subnet_routes);

  TableChange AddSubnet(const SubnetFields& fields, OperatorPrompt& prompt);
  TableChange EditSubnet(SubnetId id, const SubnetFields& fields, OperatorPrompt& prompt);
  TableChange DeleteSubnet(SubnetId id, OperatorPrompt& prompt);
  // The first subnet whose alias is `alias`, found and deleted in one step; kNoSuchEntry when none
  // has it.
  TableChange DeleteSubnetWithAlias(const std::string& alias, OperatorPrompt& prompt);

  TableChange AddIpMacRow(SubnetId subnet, const std::string& address, const std::string& mac,
                          OperatorPrompt& prompt);
  // A row for the subnet that carries the address, as the remote control adds them. Checked in
  // this order: the address, its subnet, the MAC in its strict form (ParseFullMac), a row with
  // the address, the table's room.
  TableChange AddIpMacRowToItsSubnet(const std::string& address, const std::string& mac,
                                     OperatorPrompt& prompt);
  TableChange EditIpMacRow(uint32_t row, const std::string& address, const std::string& mac,
                           OperatorPrompt& prompt);
  // `count` rows from the start address and MAC on, each one higher; the range stops at the end
  // of the subnet and when the table is full.
  TableChange AddIpMacRange(SubnetId subnet, const std::string& address, const std::string& mac,
                            int count, OperatorPrompt& prompt);
  TableChange DeleteIpMacRow(uint32_t row, OperatorPrompt& prompt);
  // Gives the row at `row` the profile `alias` (empty: the default profile), refused when
  // `profile_exists` does not know it.
  TableChange SetIpMacProfile(uint32_t row, const std::string& alias,
                              const std::function<bool(const std::string&)>& profile_exists,
                              OperatorPrompt& prompt);
  TableChange SetIpv6MacProfile(const Ipv6Address& row, const std::string& alias,
                                const std::function<bool(const std::string&)>& profile_exists,
                                OperatorPrompt& prompt);
  // Removes every row of the subnet and drops each one's ARP entry; `rows_removed` tells how many.
  TableChange DeleteRowsOfSubnet(SubnetId subnet);
  // The same for the first subnet whose address is `address`, found in the same step;
  // kNoSuchEntry when no subnet has it.
  TableChange DeleteRowsOfSubnetAt(uint32_t address);

  TableChange AddIpv6Subnet(const std::string& alias, uint16_t pid, OperatorPrompt& prompt);
  TableChange EditIpv6Subnet(SubnetId id, const std::string& alias, uint16_t pid,
                             OperatorPrompt& prompt);
  TableChange DeleteIpv6Subnet(SubnetId id, OperatorPrompt& prompt);
  TableChange AddIpv6MacRow(SubnetId subnet, const std::string& address, const std::string& mac,
                            OperatorPrompt& prompt);
  TableChange EditIpv6MacRow(const Ipv6Address& row, const std::string& address,
                             const std::string& mac, OperatorPrompt& prompt);
  TableChange DeleteIpv6MacRow(const Ipv6Address& row, OperatorPrompt& prompt);

  // Removes every row for the inserter's own address, which must never be resolved to a MAC
  // (packets to it would loop), telling the operator of each.
  void RemoveInserterRows(uint32_t inserter, OperatorPrompt& prompt);

  // Names the subnets "SubNet_%03d" and "SubNetV6_%03d" in table order and lower-cases the MAC
  // texts, as every save does; `old_names` gets the names they had. Returns the renamed tables.
  std::shared_ptr<const TableSnapshot> RenameForSave(std::vector<std::string>& old_names);

 private:
  std::string NextTemporaryName();
  // DeleteSubnet and DeleteRowsOfSubnet with the lock held.
  TableChange EraseSubnet(SubnetId id, OperatorPrompt& prompt);
  TableChange EraseRowsOfSubnet(SubnetId subnet);
  TableChange CheckSubnet(const TableSnapshot& tables, const SubnetEntry* old,
                          const SubnetEntry& entry, OperatorPrompt& prompt);
  TableChange CheckRow(const TableSnapshot& tables, const SubnetEntry& subnet,
                       const IpMacEntry* old, const std::string& address, const std::string& mac,
                       OperatorPrompt& prompt, IpMacEntry& row);
  TableChange CheckIpv6Row(const TableSnapshot& tables, const Ipv6MacEntry* old,
                           const std::string& address, const std::string& mac,
                           OperatorPrompt& prompt, Ipv6MacEntry& row);
  TableChange AddRow(const TableSnapshot& current, const SubnetEntry& subnet,
                     const std::string& address, const std::string& mac, OperatorPrompt& prompt);
  // The checks of a profile edit: the row found in `tables`, the profile known.
  template <typename Find>
  TableChange SetProfile(const std::string& alias,
                         const std::function<bool(const std::string&)>& profile_exists,
                         OperatorPrompt& prompt, Find find);
  void ReplaceSubnet(const TableSnapshot& current, const SubnetEntry* old, SubnetEntry entry);

  NetworkTables& tables_;
  RouteHooks& hooks_;
  std::function<bool()> per_subnet_routes_;
  std::mutex mutex_;  // one change at a time
  int temporary_names_ = 0;
};

}  // namespace velmora
