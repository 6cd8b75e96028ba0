#include "tables/table_file_writer.h"

#include "ini/ini_text.h"
#include "platform/address_text.h"
#include "platform/file_system.h"
#include "tables/stored_text.h"
#include "tables/table_editor.h"

namespace velmora {

namespace {

// Builds a subnet row, wrapping before a field when the row is already long: after 72
// characters before a text field, after 80 before any other.
class SubnetRowText {
 public:
  SubnetRowText& Text(std::string_view key, std::string_view value) {
    std::string quoted(1, '"');
    quoted.append(value).push_back('"');
    return Field(key, quoted, 72);
  }
  SubnetRowText& Number(std::string_view key, std::string_view value) {
    return Field(key, std::string(value), 80);
  }
  const std::string& text() const { return text_; }

 private:
  SubnetRowText& Field(std::string_view key, const std::string& value, size_t limit) {
    if (!text_.empty()) text_ += text_.size() <= limit ? ", " : ",\r\n    ";
    text_.append(key).append("=").append(value);
    return *this;
  }
  std::string text_;
};

std::string RowAddressText(uint32_t address) {
  return address == 0 ? std::string("0") : AddressToDotted(address);
}

template <typename Row>
void AppendRows(std::string& out, const std::vector<const Row*>& rows) {
  for (const Row* row : rows) {
    AppendIniLine(out, row->address_text + "    " + row->mac_text + " " + row->profile_alias);
  }
}

void AppendIpv4Part(std::string& out, const TableSnapshot& tables) {
  AppendIniLine(out, "");
  AppendIniLine(out, "[NETWORKS]");
  for (const SubnetEntry& subnet : tables.subnets()) {
    AppendIniLine(out, SubnetRowText()
                           .Text("Alias", subnet.Alias)
                           .Number("IPSubNetAddr", RowAddressText(subnet.IPSubNetAddr))
                           .Number("IPSubNetMask", RowAddressText(subnet.IPSubNetMask))
                           .Text("IPSubNetMAC", subnet.IPSubNetMAC)
                           .Number("IPSubNetPID", std::to_string(subnet.IPSubNetPID))
                           .text());
  }
  for (const SubnetEntry& subnet : tables.subnets()) {
    AppendIniLine(out, "");
    AppendIniLine(out, "[" + subnet.IPSubNetMAC + "]");
    AppendIniLine(out, "; IP/MACs for the subnet entry: Alias=\"" + subnet.Alias +
                           "\" IPsubnet=" + AddressToDotted(subnet.IPSubNetAddr));
    AppendRows(out, tables.RowsOf(subnet.id));
  }
}

void AppendIpv6Part(std::string& out, const TableSnapshot& tables) {
  AppendIniLine(out, "");
  AppendIniLine(out, "[NETV6WORKS]");
  for (const Ipv6SubnetEntry& subnet : tables.ipv6_subnets()) {
    AppendIniLine(out, SubnetRowText()
                           .Text("Alias", subnet.Alias)
                           .Text("IPSubNetMAC", subnet.IPSubNetMAC)
                           .Number("IPSubNetPID", std::to_string(subnet.IPSubNetPID))
                           .text());
  }
  for (const Ipv6SubnetEntry& subnet : tables.ipv6_subnets()) {
    AppendIniLine(out, "");
    AppendIniLine(out, "[" + subnet.IPSubNetMAC + "]");
    AppendIniLine(out, "; IPv6/MACs for the subnet entry: Alias=\"" + subnet.Alias + "\"");
    AppendRows(out, tables.Ipv6RowsOf(subnet.id));
  }
}

}  // namespace

TableFileWriter::TableFileWriter(TableEditor& editor, FileSystem& files,
                                 std::function<std::vector<std::string>()> own_files)
    : editor_(editor), files_(files), own_files_(std::move(own_files)) {}

void TableFileWriter::WriteSection(std::string& out) {
  std::vector<std::string> old_names;
  const auto tables = editor_.RenameForSave(old_names);
  for (const std::string& name : old_names) {
    if (IsRowFileName(name, own_files_())) row_files_to_remove_.insert(name);
  }
  AppendIpv4Part(out, *tables);
  AppendIpv6Part(out, *tables);
}

void TableFileWriter::Saved() {
  for (const std::string& name : row_files_to_remove_) files_.RemoveFile(name);
  row_files_to_remove_.clear();
}

}  // namespace velmora
