#include "tables/table_file_reader.h"

#include <algorithm>
#include <cstdio>

#include "ini/ini_text.h"
#include "platform/file_system.h"
#include "support/log.h"
#include "support/operator_prompt.h"
#include "tables/stored_text.h"

namespace velmora {

namespace {

// The value of `key` in a row: after the first occurrence of the key, the next "=", up to the
// next ",". None when the key is missing.
std::optional<std::string_view> FieldValue(std::string_view row, std::string_view key) {
  const size_t at = row.find(key);
  if (at == std::string_view::npos) return std::nullopt;
  const size_t equals = row.find('=', at + key.size());
  if (equals == std::string_view::npos) return std::nullopt;
  const size_t end = row.find(',', equals + 1);
  return row.substr(equals + 1, end == std::string_view::npos ? end : end - equals - 1);
}

std::string TextField(std::string_view row, std::string_view key) {
  const auto value = FieldValue(row, key);
  return value ? SettingText(*value) : std::string();
}

uint16_t PidField(std::string_view clean, std::string_view key) {
  const auto value = FieldValue(clean, key);
  return value ? static_cast<uint16_t>(FieldNumberValue(*value)) : 0;
}

uint32_t AddressField(std::string_view clean, std::string_view key) {
  const auto value = FieldValue(clean, key);
  return value ? DottedToAddress(std::string(*value)) : 0;
}

bool HasField(std::string_view row, std::string_view key) {
  return FieldValue(row, key).has_value();
}

bool HasAllIpv6SubnetFields(std::string_view row) {
  return HasField(row, "Alias") && HasField(row, "IPSubNetMAC") && HasField(row, "IPSubNetPID");
}

bool EndsWithComma(std::string_view text) {
  const size_t last = text.find_last_not_of(" \t\r\n");
  return last != std::string_view::npos && text[last] == ',';
}

// The name of a row section's header: between "[" and the first "]".
std::string HeaderName(std::string_view header) {
  header.remove_prefix(std::min(header.size(), header.find('[') + 1));
  return std::string(header.substr(0, header.find(']')));
}

using RowText = TableFileReader::RowText;

std::optional<RowText> SplitRow(std::string_view text) {
  const size_t blank = text.find_first_of(" \t");
  if (blank == std::string_view::npos) return std::nullopt;
  RowText row{.text = std::string(text),
              .address = std::string(text.substr(0, blank)),
              .mac = {},
              .alias = {}};
  text.remove_prefix(std::min(text.size(), text.find_first_not_of(" \t", blank)));
  constexpr size_t kMacTextLength = 17;
  if (text.size() < kMacTextLength) return std::nullopt;
  row.mac = std::string(text.substr(0, kMacTextLength));
  text.remove_prefix(kMacTextLength);
  const size_t alias = text.find_first_not_of(" \t");
  if (alias != std::string_view::npos) row.alias = std::string(text.substr(alias));
  return row;
}

// The first subnet in table order with the table name `name`; 0 when none.
template <typename Entry>
SubnetId SubnetNamed(const std::vector<Entry>& subnets, const std::string& name) {
  for (const Entry& subnet : subnets) {
    if (subnet.IPSubNetMAC == name) return subnet.id;
  }
  return 0;
}

}  // namespace

TableFileReader::TableFileReader(NetworkTables& tables, FileSystem& files, Log& log,
                                 OperatorPrompt& prompt,
                                 std::function<std::vector<std::string>()> own_files)
    : tables_(tables),
      files_(files),
      log_(log),
      prompt_(prompt),
      own_files_(std::move(own_files)) {}

void TableFileReader::Repair(std::string_view what, std::string& text, std::string storable) {
  if (storable == text) return;
  log_ << what << " \"" << text << "\" cannot be stored; kept as \"" << storable << "\"\n";
  text = std::move(storable);
}

void TableFileReader::Skip(std::string_view why, std::string_view line) {
  log_ << "Table row skipped (" << why << "): " << line << "\n";
}

std::vector<std::string> TableFileReader::ReadRowFile(const std::string& name) {
  std::vector<std::string> lines;
  if (!IsRowFileName(name, own_files_())) return lines;
  const std::optional<std::string> text = files_.ReadFile(name);
  if (!text) return lines;
  files_read_.insert(name);
  log_ << "Rows of " << name << " read from its own file\n";
  for (std::string_view line : SplitIniLines(*text)) lines.emplace_back(line);
  return lines;
}

void TableFileReader::ReadNetworksLine(std::string_view line) {
  // A row that the writer wrapped before its address continues after a line ending in ",".
  const bool continued = EndsWithComma(row_buffer_) &&
                         row_buffer_.find("IPSubNetAddr") == std::string::npos &&
                         line.find("Alias") == std::string_view::npos;
  if (line.find("IPSubNetAddr") != std::string_view::npos && !continued) row_buffer_.clear();
  row_buffer_.append(line);
  if (std::count(row_buffer_.begin(), row_buffer_.end(), '=') != 5) return;
  const std::string row = row_buffer_ + ",";
  const std::string clean = CleanIniLine(row);
  row_buffer_.clear();
  SubnetEntry subnet{.id = tables_.NewSubnetId(),
                     .Alias = TextField(row, "Alias"),
                     .IPSubNetAddr = AddressField(clean, "IPSubNetAddr"),
                     .IPSubNetMask = AddressField(clean, "IPSubNetMask"),
                     .IPSubNetMAC = TextField(row, "IPSubNetMAC"),
                     .IPSubNetPID = PidField(clean, "IPSubNetPID")};
  Repair("Subnet alias", subnet.Alias, StorableSubnetAlias(subnet.Alias));
  for (const std::string& line_of_file : ReadRowFile(subnet.IPSubNetMAC)) {
    ReadIpMacRow(line_of_file, subnet, false);
  }
  if ((subnet.IPSubNetAddr & subnet.IPSubNetMask) != subnet.IPSubNetAddr) {
    prompt_.Ask({.title = "Incorrect .ini parameter",
                 .text = "Parameters IPSubNetAddr and IPSubNetMask\n"
                         "in .ini file are incompatible (See the following row in [NETWORK] "
                         "section):\n" +
                         clean.substr(0, clean.size() - 1) +
                         "\nMust: ((IPSubNetAddr & IPSubNetMask)=IPSubNetAddr)\n"
                         "Unexpected results are possible !",
                 .buttons = PromptButtons::kOk,
                 .icon = PromptIcon::kWarning,
                 .default_answer = PromptAnswer::kOk});
  }
  building_.InsertSubnet(std::move(subnet));
}

void TableFileReader::ReadNetv6worksLine(std::string_view line) {
  // A row that the writer wrapped ends its unfinished lines with ","; the next line continues it
  // only while the row still lacks a field, and a line with an alias of its own starts a row.
  if (HasField(line, "Alias") && HasField(ipv6_row_buffer_, "Alias")) {
    AddNetv6worksRow();
  }
  ipv6_row_buffer_.append(line);
  if (!EndsWithComma(line) || HasAllIpv6SubnetFields(ipv6_row_buffer_)) AddNetv6worksRow();
}

void TableFileReader::AddNetv6worksRow() {
  if (ipv6_row_buffer_.empty()) return;
  const std::string row = ipv6_row_buffer_ + ",";
  ipv6_row_buffer_.clear();
  Ipv6SubnetEntry subnet{.id = tables_.NewSubnetId(),
                         .Alias = TextField(row, "Alias"),
                         .IPSubNetMAC = TextField(row, "IPSubNetMAC"),
                         .IPSubNetPID = PidField(CleanIniLine(row), "IPSubNetPID")};
  Repair("IPv6 subnet alias", subnet.Alias, StorableSubnetAlias(subnet.Alias));
  for (const std::string& line_of_file : ReadRowFile(subnet.IPSubNetMAC)) {
    ReadIpv6MacRow(line_of_file, subnet, false);
  }
  building_.InsertIpv6Subnet(std::move(subnet));
}

void TableFileReader::BeginRowSection(std::string_view header) {
  AddNetv6worksRow();
  StartRowSection(header, SubnetNamed(building_.subnets(), HeaderName(header)));
}

void TableFileReader::BeginIpv6RowSection(std::string_view header) {
  AddNetv6worksRow();  // the subnet of an unfinished row must be there to own its section
  StartRowSection(header, SubnetNamed(building_.ipv6_subnets(), HeaderName(header)));
}

void TableFileReader::StartRowSection(std::string_view header, SubnetId subnet) {
  const std::string name = HeaderName(header);
  section_subnet_ = files_read_.contains(name) ? 0 : subnet;
  if (subnet == 0) log_ << "Section [" << name << "] belongs to no subnet; its rows are not read\n";
}

void TableFileReader::ReadRowSectionLine(std::string_view line) {
  const SubnetEntry* subnet = building_.FindSubnet(section_subnet_);
  if (subnet != nullptr && !ReadIpMacRow(line, SubnetEntry(*subnet), true)) section_subnet_ = 0;
}

void TableFileReader::ReadIpv6RowSectionLine(std::string_view line) {
  const Ipv6SubnetEntry* subnet = building_.FindIpv6Subnet(section_subnet_);
  if (subnet != nullptr && !ReadIpv6MacRow(line, Ipv6SubnetEntry(*subnet), true)) {
    section_subnet_ = 0;
  }
}

TableFileReader::RowLine TableFileReader::PrepareRow(std::string_view line, bool in_ini,
                                                     size_t rows, RowText& row) {
  const std::string text = SettingText(line);
  if (text.empty()) return RowLine::kSkip;
  if (in_ini && text.find('[') != std::string::npos) return RowLine::kEnd;
  if (rows >= kMaxIpMacRows) {
    if (!table_full_logged_) log_ << "A row table is full: 4096 rows at most\n";
    table_full_logged_ = true;
    Skip("table full", text);
    return RowLine::kSkip;
  }
  std::optional<RowText> split = SplitRow(text);
  if (!split) {
    Skip("no MAC address", text);
    return RowLine::kSkip;
  }
  row = std::move(*split);
  Repair("Profile alias", row.alias, StorableRowAlias(row.alias));
  return RowLine::kRow;
}

bool TableFileReader::ReadIpMacRow(std::string_view line, const SubnetEntry& subnet, bool in_ini) {
  RowText row;
  const RowLine kind = PrepareRow(line, in_ini, building_.ip_mac_rows().size(), row);
  if (kind != RowLine::kRow) return kind == RowLine::kSkip;
  const std::optional<uint32_t> address = RowAddress(row.address);
  std::replace(row.mac.begin(), row.mac.end(), ':', '-');
  const std::optional<MacAddress> mac = ParseMac(row.mac);
  const char* problem = !address ? "invalid IP address"
                        : (*address & subnet.IPSubNetMask) != subnet.IPSubNetAddr
                            ? "IP address out of its subnet"
                        : !mac                                        ? "invalid MAC address"
                        : building_.FindIpMacRow(*address) != nullptr ? "IP address already exists"
                                                                      : nullptr;
  if (problem != nullptr) {
    Skip(problem, row.text);
    return true;
  }
  building_.InsertIpMacRow({.address = *address,
                            .mac = *mac,
                            .address_text = std::move(row.address),
                            .mac_text = std::move(row.mac),
                            .subnet = subnet.id,
                            .profile_alias = std::move(row.alias)});
  return true;
}

bool TableFileReader::ReadIpv6MacRow(std::string_view line, const Ipv6SubnetEntry& subnet,
                                     bool in_ini) {
  RowText row;
  const RowLine kind = PrepareRow(line, in_ini, building_.ipv6_mac_rows().size(), row);
  if (kind != RowLine::kRow) return kind == RowLine::kSkip;
  const std::optional<Ipv6Address> address = TextToIpv6(row.address);
  const std::optional<MacAddress> mac = ParseMac(row.mac);
  const char* problem = !address ? "invalid IPv6 address"
                        : !mac   ? "invalid MAC address"
                        : building_.FindIpv6MacRow(*address) != nullptr
                            ? "IPv6 address already exists"
                            : nullptr;
  if (problem != nullptr) {
    Skip(problem, row.text);
    return true;
  }
  building_.InsertIpv6MacRow({.address = *address,
                              .address_text = std::move(row.address),
                              .mac = *mac,
                              .mac_text = std::move(row.mac),
                              .subnet = subnet.id,
                              .profile_alias = std::move(row.alias)});
  return true;
}

void TableFileReader::Finish() {
  AddNetv6worksRow();
  if (building_.subnets().size() > kMaxSubnets) {
    log_ << "Only the first 128 subnets in address order are kept; "
         << static_cast<int32_t>(building_.subnets().size() - kMaxSubnets) << " dropped\n";
    building_.TruncateSubnets(kMaxSubnets);
  }
  tables_.Publish(std::move(building_));
  building_ = TableSnapshot();
}

}  // namespace velmora
