#include "tables/table_editor.h"

#include <arpa/inet.h>

#include <cstdio>

#include "platform/address_text.h"
#include "tables/stored_text.h"
#include "tables/table_prompts.h"

namespace velmora {

namespace {

constexpr const char* kRowsBecomeInvalid =
    "One or more IP/MAC entries have become invalid\n"
    "because you have changed subnet parameters.\n"
    "Now you MUST either change IP addresses of appropriate\n"
    "IP/MAC records in order they have to be conformed to\n"
    "subnet, or cancel changes.\nOtherwise, that IP/MAC entries will be lost.";

TableChange Refuse(OperatorPrompt& prompt, TableRefusal refusal, std::string message) {
  ShowRefusal(prompt, message);
  return {.refusal = refusal, .message = std::move(message)};
}

TableChange Cancelled() {
  return {.refusal = TableRefusal::kCancelled};
}

bool ConfirmZeroPid(OperatorPrompt& prompt) {
  return prompt.Ask({.title = "Warning",
                     .text = "PID has zero value. Continue?",
                     .buttons = PromptButtons::kYesNo,
                     .icon = PromptIcon::kWarning,
                     .default_answer = PromptAnswer::kYes}) == PromptAnswer::kYes;
}

TableChange RefuseAlias(OperatorPrompt& prompt) {
  return Refuse(prompt, TableRefusal::kBadAlias,
                "The alias cannot be stored: at most 128 characters, none of = , ; and double "
                "quotes, and no field name IPSubNet...");
}

TableChange RefuseFullRows(OperatorPrompt& prompt) {
  return Refuse(prompt, TableRefusal::kRowTableFull, "The IP/MAC table is full: 4096 rows at most");
}

std::string Trimmed(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

}  // namespace

TableEditor::TableEditor(NetworkTables& tables, RouteHooks& hooks,
                         std::function<bool()> per_subnet_routes)
    : tables_(tables), hooks_(hooks), per_subnet_routes_(std::move(per_subnet_routes)) {}

std::string TableEditor::NextTemporaryName() {
  char name[40];
  std::snprintf(name, sizeof name, "NEW___SUB___NETTT%06d.ini", ++temporary_names_);
  return name;
}

TableChange TableEditor::CheckSubnet(const TableSnapshot& tables, const SubnetEntry* old,
                                     const SubnetEntry& entry, OperatorPrompt& prompt) {
  if (entry.IPSubNetAddr == 0xffffffff) {
    return Refuse(prompt, TableRefusal::kInvalidSubnetAddress, "Invalid subnet address");
  }
  if (entry.IPSubNetMask == 0xffffffff) {
    return Refuse(prompt, TableRefusal::kInvalidSubnetMask, "Invalid subnet mask");
  }
  if ((entry.IPSubNetMask & entry.IPSubNetAddr) != entry.IPSubNetAddr) {
    return Refuse(prompt, TableRefusal::kIncompatibleMask,
                  "Subnet & Mask are incompatible. Check if ((Subnet & Mask) == Subnet)");
  }
  if (old == nullptr || old->IPSubNetAddr != entry.IPSubNetAddr) {
    const SubnetEntry* found = tables.SubnetSearch(entry.IPSubNetAddr);
    if (found != nullptr &&
        ntohl(entry.IPSubNetAddr) >= (ntohl(found->IPSubNetAddr) & ntohl(entry.IPSubNetMask))) {
      return Refuse(prompt, TableRefusal::kSubnetExists, "Subnet already exists.");
    }
  }
  if (!IsStorableSubnetAlias(entry.Alias)) return RefuseAlias(prompt);
  if (entry.IPSubNetPID == 0 && !ConfirmZeroPid(prompt)) return Cancelled();
  return {.pid_zero = entry.IPSubNetPID == 0};
}

void TableEditor::ReplaceSubnet(const TableSnapshot& current, const SubnetEntry* old,
                                SubnetEntry entry) {
  const bool routes = per_subnet_routes_();
  if (old != nullptr && routes) hooks_.DeleteSubnetRoute(old->IPSubNetAddr);
  TableSnapshot next = current;
  if (old != nullptr) next.EraseSubnet(old->id);
  const uint32_t address = entry.IPSubNetAddr, mask = entry.IPSubNetMask;
  next.InsertSubnet(std::move(entry));
  tables_.Publish(std::move(next));
  if (routes) hooks_.AddSubnetRoute(address, mask);
}

TableChange TableEditor::AddSubnet(const SubnetFields& fields, OperatorPrompt& prompt) {
  std::lock_guard lock(mutex_);
  const auto current = tables_.Snapshot();
  if (current->subnets().size() >= kMaxSubnets) {
    return Refuse(prompt, TableRefusal::kSubnetTableFull,
                  "The subnet table is full: 128 subnets at most");
  }
  SubnetEntry entry{.id = 0,
                    .Alias = Trimmed(fields.alias),
                    .IPSubNetAddr = DottedToAddress(fields.address),
                    .IPSubNetMask = DottedToAddress(fields.mask),
                    .IPSubNetMAC = {},
                    .IPSubNetPID = fields.pid};
  TableChange change = CheckSubnet(*current, nullptr, entry, prompt);
  if (!change.ok()) return change;
  entry.id = tables_.NewSubnetId();
  entry.IPSubNetMAC = NextTemporaryName();
  change.subnet = entry.id;
  ReplaceSubnet(*current, nullptr, std::move(entry));
  return change;
}

TableChange TableEditor::EditSubnet(SubnetId id, const SubnetFields& fields,
                                    OperatorPrompt& prompt) {
  std::lock_guard lock(mutex_);
  const auto current = tables_.Snapshot();
  const SubnetEntry* old = current->FindSubnet(id);
  if (old == nullptr) return Refuse(prompt, TableRefusal::kNoSuchEntry, "No such subnet");
  SubnetEntry entry = *old;
  entry.Alias = Trimmed(fields.alias);
  entry.IPSubNetAddr = DottedToAddress(fields.address);
  entry.IPSubNetMask = DottedToAddress(fields.mask);
  entry.IPSubNetPID = fields.pid;
  if (entry == *old) return {.subnet = id};
  TableChange change = CheckSubnet(*current, old, entry, prompt);
  if (!change.ok()) return change;
  if (entry.IPSubNetAddr != old->IPSubNetAddr || entry.IPSubNetMask != old->IPSubNetMask) {
    for (const IpMacEntry* row : current->RowsOf(id)) {
      if ((row->address & entry.IPSubNetMask) == entry.IPSubNetAddr) continue;
      if (prompt.Ask({.title = "Warning!",
                      .text = kRowsBecomeInvalid,
                      .buttons = PromptButtons::kOkCancel,
                      .icon = PromptIcon::kWarning,
                      .default_answer = PromptAnswer::kOk}) != PromptAnswer::kOk) {
        return Cancelled();
      }
      break;
    }
  }
  ++temporary_names_;
  change.subnet = id;
  ReplaceSubnet(*current, old, std::move(entry));
  return change;
}

TableChange TableEditor::DeleteSubnet(SubnetId id, OperatorPrompt& prompt) {
  std::lock_guard lock(mutex_);
  return EraseSubnet(id, prompt);
}

TableChange TableEditor::DeleteSubnetWithAlias(const std::string& alias, OperatorPrompt& prompt) {
  std::lock_guard lock(mutex_);
  const auto current = tables_.Snapshot();
  for (const SubnetEntry& subnet : current->subnets()) {
    if (subnet.Alias == alias) return EraseSubnet(subnet.id, prompt);
  }
  return Refuse(prompt, TableRefusal::kNoSuchEntry, "No such subnet");
}

TableChange TableEditor::EraseSubnet(SubnetId id, OperatorPrompt& prompt) {
  const auto current = tables_.Snapshot();
  const SubnetEntry* subnet = current->FindSubnet(id);
  if (subnet == nullptr) return Refuse(prompt, TableRefusal::kNoSuchEntry, "No such subnet");
  if (!Confirm(prompt, "Delete Unicast subnet entry",
               "All IP/MAC entries also have to be deleted.\nAre you sure?")) {
    return Cancelled();
  }
  TableSnapshot next = *current;
  next.EraseRowsOf(id);
  next.EraseSubnet(id);
  tables_.Publish(std::move(next));
  for (const IpMacEntry* row : current->RowsOf(id)) hooks_.DropArpEntry(row->address_text);
  if (per_subnet_routes_()) hooks_.DeleteSubnetRoute(subnet->IPSubNetAddr);
  return {.subnet = id};
}

TableChange TableEditor::CheckRow(const TableSnapshot& tables, const SubnetEntry& subnet,
                                  const IpMacEntry* old, const std::string& address,
                                  const std::string& mac, OperatorPrompt& prompt, IpMacEntry& row) {
  const std::string text = Trimmed(address);
  const std::optional<uint32_t> ip = RowAddress(text);
  if (!ip) return Refuse(prompt, TableRefusal::kInvalidIp, "Invalid IP address");
  if ((*ip & subnet.IPSubNetMask) != subnet.IPSubNetAddr) {
    return Refuse(prompt, TableRefusal::kOutOfSubnet, "IP address is out of this subnet");
  }
  if ((old == nullptr || old->address != *ip) && tables.FindIpMacRow(*ip) != nullptr) {
    return Refuse(prompt, TableRefusal::kIpExists,
                  "IP address already exists. Delete it first in order to change entry");
  }
  const std::optional<MacAddress> parsed = ParseMac(Trimmed(mac));
  if (!parsed) return Refuse(prompt, TableRefusal::kInvalidMac, "Invalid MAC address");
  row = {.address = *ip,
         .mac = *parsed,
         .address_text = text,
         .mac_text = MacText(*parsed),
         .subnet = subnet.id,
         .profile_alias = old != nullptr ? old->profile_alias : std::string()};
  return {.subnet = subnet.id};
}

TableChange TableEditor::AddRow(const TableSnapshot& current, const SubnetEntry& subnet,
                                const std::string& address, const std::string& mac,
                                OperatorPrompt& prompt) {
  if (current.ip_mac_rows().size() >= kMaxIpMacRows) return RefuseFullRows(prompt);
  IpMacEntry row;
  TableChange change = CheckRow(current, subnet, nullptr, address, mac, prompt, row);
  if (!change.ok()) return change;
  TableSnapshot next = current;
  next.InsertIpMacRow(std::move(row));
  tables_.Publish(std::move(next));
  change.rows_added = 1;
  return change;
}

TableChange TableEditor::AddIpMacRow(SubnetId subnet, const std::string& address,
                                     const std::string& mac, OperatorPrompt& prompt) {
  std::lock_guard lock(mutex_);
  const auto current = tables_.Snapshot();
  const SubnetEntry* entry = current->FindSubnet(subnet);
  if (entry == nullptr) return Refuse(prompt, TableRefusal::kNoSuchEntry, "No such subnet");
  return AddRow(*current, *entry, address, mac, prompt);
}

TableChange TableEditor::AddIpMacRowToItsSubnet(const std::string& address, const std::string& mac,
                                                OperatorPrompt& prompt) {
  std::lock_guard lock(mutex_);
  const auto current = tables_.Snapshot();
  const std::optional<uint32_t> ip = RowAddress(Trimmed(address));
  if (!ip) return Refuse(prompt, TableRefusal::kInvalidIp, "Invalid IP address");
  const SubnetEntry* entry = current->FindSubnetForAddress(*ip);
  if (entry == nullptr || (*ip & entry->IPSubNetMask) != entry->IPSubNetAddr) {
    return Refuse(prompt, TableRefusal::kNoSubnetForIp, "No subnet carries this IP address");
  }
  if (!ParseFullMac(Trimmed(mac))) {
    return Refuse(prompt, TableRefusal::kInvalidMac, "Invalid MAC address");
  }
  if (current->FindIpMacRow(*ip) != nullptr) {
    return Refuse(prompt, TableRefusal::kIpExists,
                  "IP address already exists. Delete it first in order to change entry");
  }
  return AddRow(*current, *entry, address, mac, prompt);
}

TableChange TableEditor::EditIpMacRow(uint32_t row, const std::string& address,
                                      const std::string& mac, OperatorPrompt& prompt) {
  std::lock_guard lock(mutex_);
  const auto current = tables_.Snapshot();
  const IpMacEntry* old = current->FindIpMacRow(row);
  const SubnetEntry* subnet = old != nullptr ? current->FindSubnet(old->subnet) : nullptr;
  if (subnet == nullptr) return Refuse(prompt, TableRefusal::kNoSuchEntry, "No such IP/MAC entry");
  IpMacEntry edited;
  TableChange change = CheckRow(*current, *subnet, old, address, mac, prompt, edited);
  if (!change.ok()) return change;
  TableSnapshot next = *current;
  next.EraseIpMacRow(row);
  next.InsertIpMacRow(edited);
  tables_.Publish(std::move(next));
  if (edited.address != old->address) hooks_.DropArpEntry(old->address_text);
  return change;
}

TableChange TableEditor::AddIpMacRange(SubnetId subnet, const std::string& address,
                                       const std::string& mac, int count, OperatorPrompt& prompt) {
  std::lock_guard lock(mutex_);
  const auto current = tables_.Snapshot();
  const SubnetEntry* entry = current->FindSubnet(subnet);
  if (entry == nullptr) return Refuse(prompt, TableRefusal::kNoSuchEntry, "No such subnet");
  const std::optional<uint32_t> start = RowAddress(Trimmed(address));
  if (!start) return Refuse(prompt, TableRefusal::kInvalidIp, "Invalid IP address");
  if ((*start & entry->IPSubNetMask) != entry->IPSubNetAddr) {
    return Refuse(prompt, TableRefusal::kOutOfSubnet, "IP address is out of this subnet");
  }
  std::optional<MacAddress> next_mac = ParseMac(Trimmed(mac));
  if (!next_mac) return Refuse(prompt, TableRefusal::kInvalidMac, "Invalid MAC address");
  TableChange change{.subnet = subnet};
  TableSnapshot next = *current;
  uint32_t host = ntohl(*start);
  for (int i = 0; i < count; ++i, ++host, *next_mac = NextMac(*next_mac)) {
    const uint32_t ip = htonl(host);
    const std::string text = AddressToDotted(ip);
    if ((ip & entry->IPSubNetMask) != entry->IPSubNetAddr) {
      Refuse(prompt, TableRefusal::kOutOfSubnet,
             "IP " + text + " is out of this subnet. The range ends before it");
      break;
    }
    if (next.FindIpMacRow(ip) != nullptr) {
      change.skipped.push_back(text);
      prompt.Ask({.title = "Error", .text = "IP " + text + " address already exists. Skipped"});
      continue;
    }
    if (next.ip_mac_rows().size() >= kMaxIpMacRows) {
      RefuseFullRows(prompt);
      break;
    }
    next.InsertIpMacRow({.address = ip,
                         .mac = *next_mac,
                         .address_text = text,
                         .mac_text = MacText(*next_mac),
                         .subnet = subnet,
                         .profile_alias = {}});
    ++change.rows_added;
  }
  tables_.Publish(std::move(next));
  return change;
}

template <typename Find>
TableChange TableEditor::SetProfile(const std::string& alias,
                                    const std::function<bool(const std::string&)>& profile_exists,
                                    OperatorPrompt& prompt, Find find) {
  std::lock_guard lock(mutex_);
  TableSnapshot next = *tables_.Snapshot();
  auto* row = find(next);
  if (row == nullptr) return Refuse(prompt, TableRefusal::kNoSuchEntry, "No such IP/MAC entry");
  if (!alias.empty() && !profile_exists(alias)) {
    return Refuse(prompt, TableRefusal::kUnknownProfile, alias + " - not found User Profile");
  }
  row->profile_alias = alias;
  tables_.Publish(std::move(next));
  return {};
}

TableChange TableEditor::SetIpMacProfile(
    uint32_t row, const std::string& alias,
    const std::function<bool(const std::string&)>& profile_exists, OperatorPrompt& prompt) {
  return SetProfile(alias, profile_exists, prompt, [row](TableSnapshot& tables) {
    return const_cast<IpMacEntry*>(tables.FindIpMacRow(row));
  });
}

TableChange TableEditor::SetIpv6MacProfile(
    const Ipv6Address& row, const std::string& alias,
    const std::function<bool(const std::string&)>& profile_exists, OperatorPrompt& prompt) {
  return SetProfile(alias, profile_exists, prompt, [&row](TableSnapshot& tables) {
    return const_cast<Ipv6MacEntry*>(tables.FindIpv6MacRow(row));
  });
}

TableChange TableEditor::DeleteIpMacRow(uint32_t row, OperatorPrompt& prompt) {
  std::lock_guard lock(mutex_);
  const auto current = tables_.Snapshot();
  const IpMacEntry* old = current->FindIpMacRow(row);
  if (old == nullptr) return Refuse(prompt, TableRefusal::kNoSuchEntry, "No such IP/MAC entry");
  if (!Confirm(prompt, "Delete IP/MAC entry", "Are you sure?")) return Cancelled();
  TableSnapshot next = *current;
  next.EraseIpMacRow(row);
  tables_.Publish(std::move(next));
  hooks_.DropArpEntry(old->address_text);
  return {.subnet = old->subnet};
}

TableChange TableEditor::DeleteRowsOfSubnet(SubnetId subnet) {
  std::lock_guard lock(mutex_);
  return EraseRowsOfSubnet(subnet);
}

TableChange TableEditor::DeleteRowsOfSubnetAt(uint32_t address) {
  std::lock_guard lock(mutex_);
  const auto current = tables_.Snapshot();
  for (const SubnetEntry& subnet : current->subnets()) {
    if (subnet.IPSubNetAddr == address) return EraseRowsOfSubnet(subnet.id);
  }
  return {.refusal = TableRefusal::kNoSuchEntry};
}

TableChange TableEditor::EraseRowsOfSubnet(SubnetId subnet) {
  const auto current = tables_.Snapshot();
  const std::vector<const IpMacEntry*> rows = current->RowsOf(subnet);
  if (rows.empty()) return {.subnet = subnet};
  TableSnapshot next = *current;
  next.EraseRowsOf(subnet);
  tables_.Publish(std::move(next));
  for (const IpMacEntry* row : rows) hooks_.DropArpEntry(row->address_text);
  return {.subnet = subnet, .rows_removed = rows.size()};
}

TableChange TableEditor::AddIpv6Subnet(const std::string& alias, uint16_t pid,
                                       OperatorPrompt& prompt) {
  std::lock_guard lock(mutex_);
  Ipv6SubnetEntry entry{.id = 0, .Alias = Trimmed(alias), .IPSubNetMAC = {}, .IPSubNetPID = pid};
  if (!IsStorableSubnetAlias(entry.Alias)) return RefuseAlias(prompt);
  if (pid == 0 && !ConfirmZeroPid(prompt)) return Cancelled();
  entry.id = tables_.NewSubnetId();
  entry.IPSubNetMAC = NextTemporaryName();
  TableSnapshot next = *tables_.Snapshot();
  next.InsertIpv6Subnet(entry);
  tables_.Publish(std::move(next));
  return {.subnet = entry.id, .pid_zero = pid == 0};
}

TableChange TableEditor::EditIpv6Subnet(SubnetId id, const std::string& alias, uint16_t pid,
                                        OperatorPrompt& prompt) {
  std::lock_guard lock(mutex_);
  const auto current = tables_.Snapshot();
  const Ipv6SubnetEntry* old = current->FindIpv6Subnet(id);
  if (old == nullptr) return Refuse(prompt, TableRefusal::kNoSuchEntry, "No such subnet");
  Ipv6SubnetEntry entry = *old;
  entry.Alias = Trimmed(alias);
  entry.IPSubNetPID = pid;
  if (entry == *old) return {.subnet = id};
  if (!IsStorableSubnetAlias(entry.Alias)) return RefuseAlias(prompt);
  if (pid == 0 && !ConfirmZeroPid(prompt)) return Cancelled();
  ++temporary_names_;
  TableSnapshot next = *current;
  next.EraseIpv6Subnet(id);
  next.InsertIpv6Subnet(std::move(entry));
  tables_.Publish(std::move(next));
  return {.subnet = id, .pid_zero = pid == 0};
}

TableChange TableEditor::DeleteIpv6Subnet(SubnetId id, OperatorPrompt& prompt) {
  std::lock_guard lock(mutex_);
  const auto current = tables_.Snapshot();
  if (current->FindIpv6Subnet(id) == nullptr) {
    return Refuse(prompt, TableRefusal::kNoSuchEntry, "No such subnet");
  }
  if (!Confirm(prompt, "Delete Unicast subnet entry",
               "All IPv6/MAC entries also have to be deleted.\nAre you sure?")) {
    return Cancelled();
  }
  TableSnapshot next = *current;
  next.EraseIpv6RowsOf(id);
  next.EraseIpv6Subnet(id);
  tables_.Publish(std::move(next));
  return {.subnet = id};
}

TableChange TableEditor::CheckIpv6Row(const TableSnapshot& tables, const Ipv6MacEntry* old,
                                      const std::string& address, const std::string& mac,
                                      OperatorPrompt& prompt, Ipv6MacEntry& row) {
  const std::string text = Trimmed(address);
  const std::optional<Ipv6Address> ip = TextToIpv6(text);
  if (!ip) return Refuse(prompt, TableRefusal::kInvalidIpv6, "Invalid Ipv6 Address.");
  if ((old == nullptr || old->address != *ip) && tables.FindIpv6MacRow(*ip) != nullptr) {
    return Refuse(prompt, TableRefusal::kIpExists,
                  "IP address already exists. Delete it first in order to change entry");
  }
  const std::optional<MacAddress> parsed = ParseMac(Trimmed(mac));
  if (!parsed) return Refuse(prompt, TableRefusal::kInvalidMac, "Invalid MAC address");
  row.address = *ip;
  row.address_text = text;
  row.mac = *parsed;
  row.mac_text = MacText(*parsed);
  return {.subnet = row.subnet};
}

TableChange TableEditor::AddIpv6MacRow(SubnetId subnet, const std::string& address,
                                       const std::string& mac, OperatorPrompt& prompt) {
  std::lock_guard lock(mutex_);
  const auto current = tables_.Snapshot();
  if (current->FindIpv6Subnet(subnet) == nullptr) {
    return Refuse(prompt, TableRefusal::kNoSuchEntry, "No such subnet");
  }
  if (current->ipv6_mac_rows().size() >= kMaxIpv6MacRows) {
    return Refuse(prompt, TableRefusal::kRowTableFull,
                  "The IPv6/MAC table is full: 4096 rows at most");
  }
  Ipv6MacEntry row{.subnet = subnet};
  TableChange change = CheckIpv6Row(*current, nullptr, address, mac, prompt, row);
  if (!change.ok()) return change;
  TableSnapshot next = *current;
  next.InsertIpv6MacRow(std::move(row));
  tables_.Publish(std::move(next));
  change.rows_added = 1;
  return change;
}

TableChange TableEditor::EditIpv6MacRow(const Ipv6Address& row, const std::string& address,
                                        const std::string& mac, OperatorPrompt& prompt) {
  std::lock_guard lock(mutex_);
  const auto current = tables_.Snapshot();
  const Ipv6MacEntry* old = current->FindIpv6MacRow(row);
  if (old == nullptr) {
    return Refuse(prompt, TableRefusal::kNoSuchEntry, "No such IPv6/MAC entry");
  }
  Ipv6MacEntry edited = *old;
  TableChange change = CheckIpv6Row(*current, old, address, mac, prompt, edited);
  if (!change.ok()) return change;
  TableSnapshot next = *current;
  next.EraseIpv6MacRow(row);
  next.InsertIpv6MacRow(std::move(edited));
  tables_.Publish(std::move(next));
  return change;
}

TableChange TableEditor::DeleteIpv6MacRow(const Ipv6Address& row, OperatorPrompt& prompt) {
  std::lock_guard lock(mutex_);
  const auto current = tables_.Snapshot();
  const Ipv6MacEntry* old = current->FindIpv6MacRow(row);
  if (old == nullptr) {
    return Refuse(prompt, TableRefusal::kNoSuchEntry, "No such IPv6/MAC entry");
  }
  if (!Confirm(prompt, "Delete IPv6/MAC entry", "Are you sure?")) return Cancelled();
  TableSnapshot next = *current;
  next.EraseIpv6MacRow(row);
  tables_.Publish(std::move(next));
  return {.subnet = old->subnet};
}

void TableEditor::RemoveInserterRows(uint32_t inserter, OperatorPrompt& prompt) {
  std::lock_guard lock(mutex_);
  const auto current = tables_.Snapshot();
  const IpMacEntry* row = current->FindIpMacRow(inserter);
  if (row == nullptr) return;
  prompt.Ask({.title = "ARP Table Init Warning",
              .text = "File \"" + std::string(current->TableNameOf(*row)) +
                      "\" contains a row with the IP address " + row->address_text +
                      " which\nis the same as QoS destination IP. "
                      "This IP will not be included into resolving table\nin order to "
                      "avoid system internal loop, but it still remains to be QoS destination IP.",
              .buttons = PromptButtons::kOk,
              .icon = PromptIcon::kWarning,
              .default_answer = PromptAnswer::kOk});
  TableSnapshot next = *current;
  next.EraseIpMacRow(inserter);
  tables_.Publish(std::move(next));
}

std::shared_ptr<const TableSnapshot> TableEditor::RenameForSave(
    std::vector<std::string>& old_names) {
  std::lock_guard lock(mutex_);
  TableSnapshot next = *tables_.Snapshot();
  char name[32];
  int i = 0;
  for (const SubnetEntry& entry : std::vector<SubnetEntry>(next.subnets())) {
    old_names.push_back(entry.IPSubNetMAC);
    std::snprintf(name, sizeof name, "SubNet_%03d", ++i);
    next.RenameSubnet(entry.id, name);
  }
  i = 0;
  for (const Ipv6SubnetEntry& entry : std::vector<Ipv6SubnetEntry>(next.ipv6_subnets())) {
    old_names.push_back(entry.IPSubNetMAC);
    std::snprintf(name, sizeof name, "SubNetV6_%03d", ++i);
    next.RenameIpv6Subnet(entry.id, name);
  }
  next.LowerCaseMacTexts();
  tables_.Publish(std::move(next));
  return tables_.Snapshot();
}

}  // namespace velmora
