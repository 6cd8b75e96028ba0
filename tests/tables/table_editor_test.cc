#include "tables/table_editor.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <vector>

#include "testing/recording_prompt.h"

namespace velmora {
namespace {

using testing::RecordingPrompt;

uint32_t Ip(const char* text) {
  return DottedToAddress(text);
}

// Remembers what the tables asked of the system's routes.
class RecordingHooks final : public RouteHooks {
 public:
  void AddSubnetRoute(uint32_t address, uint32_t mask) override {
    calls.push_back("add " + AddressToDotted(address) + "/" + AddressToDotted(mask));
  }
  void DeleteSubnetRoute(uint32_t address) override {
    calls.push_back("delete " + AddressToDotted(address));
  }
  void DropArpEntry(const std::string& address_text) override {
    calls.push_back("arp " + address_text);
  }
  std::vector<std::string> calls;
};

class TableEditorTest : public ::testing::Test {
 protected:
  SubnetId Subnet(const char* address, const char* mask, uint16_t pid = 256) {
    const TableChange change = editor.AddSubnet({"", address, mask, pid}, prompt);
    EXPECT_TRUE(change.ok()) << change.message;
    return change.subnet;
  }
  TableChange Row(SubnetId subnet, const char* address, const char* mac = "00-00-00-00-00-01") {
    return editor.AddIpMacRow(subnet, address, mac, prompt);
  }
  std::shared_ptr<const TableSnapshot> Now() const { return tables.Snapshot(); }
  std::string LastText() const {
    return prompt.requests.empty() ? std::string() : prompt.requests.back().text;
  }

  NetworkTables tables;
  RecordingHooks hooks;
  bool per_subnet_routes = true;
  TableEditor editor{tables, hooks, [this] { return per_subnet_routes; }};
  RecordingPrompt prompt;
};

TEST_F(TableEditorTest, SubnetValidationMessagesInTheirOrder) {
  Subnet("192.168.1.0", "255.255.255.0");
  struct Case {
    SubnetFields fields;
    TableRefusal refusal;
    const char* message;
  } cases[] = {
      {{"", "192.168.1.300", "255.255.255.0", 1},
       TableRefusal::kInvalidSubnetAddress,
       "Invalid subnet address"},
      {{"", "255.255.255.255", "255.255.255.0", 1},
       TableRefusal::kInvalidSubnetAddress,
       "Invalid subnet address"},
      {{"", "10.0.0.0", "255.255.255.255", 1},
       TableRefusal::kInvalidSubnetMask,
       "Invalid subnet mask"},
      {{"", "192.168.1.5", "255.255.255.0", 1},
       TableRefusal::kIncompatibleMask,
       "Subnet & Mask are incompatible. Check if ((Subnet & Mask) == Subnet)"},
      {{"", "192.168.1.0", "255.255.255.0", 1},
       TableRefusal::kSubnetExists,
       "Subnet already exists."},
      {{"a=b", "10.0.0.0", "255.0.0.0", 1}, TableRefusal::kBadAlias, nullptr},
      {{"my IPSub Net MAC", "10.0.0.0", "255.0.0.0", 1}, TableRefusal::kBadAlias, nullptr},
      {{std::string(129, 'a'), "10.0.0.0", "255.0.0.0", 1}, TableRefusal::kBadAlias, nullptr},
  };
  for (const Case& c : cases) {
    prompt.requests.clear();
    const TableChange change = editor.AddSubnet(c.fields, prompt);
    EXPECT_EQ(change.refusal, c.refusal) << c.fields.address;
    ASSERT_EQ(prompt.requests.size(), 1u);
    EXPECT_EQ(prompt.requests[0].title, "Error");
    EXPECT_EQ(prompt.requests[0].icon, PromptIcon::kWarning);
    if (c.message != nullptr) {
      EXPECT_EQ(change.message, c.message);
    }
    EXPECT_EQ(prompt.requests[0].text, change.message);
  }
  EXPECT_EQ(Now()->subnets().size(), 1u);
}

TEST_F(TableEditorTest, NewSubnetsGetTemporaryNamesAndStaySorted) {
  Subnet("192.168.2.0", "255.255.255.0");
  Subnet("10.0.0.0", "255.0.0.0");
  Subnet("172.16.0.0", "255.255.0.0");
  const auto now = Now();
  ASSERT_EQ(now->subnets().size(), 3u);
  EXPECT_EQ(now->subnets()[0].IPSubNetAddr, Ip("10.0.0.0"));
  EXPECT_EQ(now->subnets()[1].IPSubNetAddr, Ip("172.16.0.0"));
  EXPECT_EQ(now->subnets()[2].IPSubNetAddr, Ip("192.168.2.0"));
  EXPECT_EQ(now->subnets()[2].IPSubNetMAC, "NEW___SUB___NETTT000001.ini");
  EXPECT_EQ(now->subnets()[0].IPSubNetMAC, "NEW___SUB___NETTT000002.ini");
  EXPECT_EQ(hooks.calls[0], "add 192.168.2.0/255.255.255.0");
}

TEST_F(TableEditorTest, ZeroPidAsksAndNoAbandons) {
  prompt.answers = {PromptAnswer::kNo};
  EXPECT_EQ(editor.AddSubnet({"", "10.0.0.0", "255.0.0.0", 0}, prompt).refusal,
            TableRefusal::kCancelled);
  EXPECT_EQ(prompt.requests.back().title, "Warning");
  EXPECT_EQ(LastText(), "PID has zero value. Continue?");
  EXPECT_TRUE(Now()->subnets().empty());
  prompt.answers = {PromptAnswer::kYes};
  const TableChange change = editor.AddSubnet({"", "10.0.0.0", "255.0.0.0", 0}, prompt);
  EXPECT_TRUE(change.ok());
  EXPECT_TRUE(change.pid_zero);
  EXPECT_EQ(Now()->subnets().size(), 1u);
}

TEST_F(TableEditorTest, TheSubnetTableRefusesA129thSubnet) {
  for (int i = 0; i < 128; ++i) {
    Subnet(AddressToDotted(htonl(0x0a000000u + (uint32_t(i) << 8))).c_str(), "255.255.255.0");
  }
  const TableChange change = editor.AddSubnet({"", "11.0.0.0", "255.0.0.0", 1}, prompt);
  EXPECT_EQ(change.refusal, TableRefusal::kSubnetTableFull);
  EXPECT_EQ(Now()->subnets().size(), 128u);
}

TEST_F(TableEditorTest, EditingASubnetWithRowsOutsideWarns) {
  const SubnetId id = Subnet("192.168.1.0", "255.255.255.0");
  ASSERT_TRUE(Row(id, "192.168.1.5").ok());
  const std::string name = Now()->subnets()[0].IPSubNetMAC;
  prompt.answers = {PromptAnswer::kCancel};
  EXPECT_EQ(editor.EditSubnet(id, {"", "192.168.2.0", "255.255.255.0", 256}, prompt).refusal,
            TableRefusal::kCancelled);
  EXPECT_EQ(prompt.requests.back().title, "Warning!");
  EXPECT_NE(LastText().find("Otherwise, that IP/MAC entries will be lost."), std::string::npos);
  EXPECT_EQ(Now()->subnets()[0].IPSubNetAddr, Ip("192.168.1.0"));

  hooks.calls.clear();
  EXPECT_TRUE(editor.EditSubnet(id, {"Office", "192.168.2.0", "255.255.255.0", 256}, prompt).ok());
  const auto now = Now();
  EXPECT_EQ(now->subnets()[0].IPSubNetAddr, Ip("192.168.2.0"));
  EXPECT_EQ(now->subnets()[0].IPSubNetMAC, name);  // an edit keeps the table name
  EXPECT_EQ(now->RowsOf(id).size(), 1u);           // and its rows, as the operator chose
  EXPECT_EQ(hooks.calls,
            (std::vector<std::string>{"delete 192.168.1.0", "add 192.168.2.0/255.255.255.0"}));
}

TEST_F(TableEditorTest, AnUnchangedEditDoesNothing) {
  const SubnetId id = Subnet("192.168.1.0", "255.255.255.0", 0);
  hooks.calls.clear();
  prompt.requests.clear();
  EXPECT_TRUE(editor.EditSubnet(id, {"", "192.168.1.0", "255.255.255.0", 0}, prompt).ok());
  EXPECT_TRUE(prompt.requests.empty());  // not even the zero-PID question
  EXPECT_TRUE(hooks.calls.empty());
}

TEST_F(TableEditorTest, RoutesFollowOnlyWhenTheAdapterIsNotTheDefaultRoute) {
  per_subnet_routes = false;
  const SubnetId id = Subnet("192.168.1.0", "255.255.255.0");
  ASSERT_TRUE(Row(id, "192.168.1.5").ok());
  ASSERT_TRUE(editor.DeleteSubnet(id, prompt).ok());
  EXPECT_EQ(hooks.calls, (std::vector<std::string>{"arp 192.168.1.5"}));
}

TEST_F(TableEditorTest, DeletingASubnetAsksAndTakesItsRows) {
  const SubnetId a = Subnet("192.168.1.0", "255.255.255.0");
  const SubnetId b = Subnet("192.168.2.0", "255.255.255.0");
  ASSERT_TRUE(Row(a, "192.168.1.5").ok());
  ASSERT_TRUE(Row(b, "192.168.2.5").ok());
  prompt.answers = {PromptAnswer::kNo};
  EXPECT_EQ(editor.DeleteSubnet(a, prompt).refusal, TableRefusal::kCancelled);
  EXPECT_EQ(prompt.requests.back().title, "Delete Unicast subnet entry");
  EXPECT_EQ(LastText(), "All IP/MAC entries also have to be deleted.\nAre you sure?");
  hooks.calls.clear();
  ASSERT_TRUE(editor.DeleteSubnet(a, prompt).ok());
  const auto now = Now();
  EXPECT_EQ(now->subnets().size(), 1u);
  EXPECT_EQ(now->ip_mac_rows().size(), 1u);
  EXPECT_EQ(now->FindIpMacRow(Ip("192.168.1.5")), nullptr);
  EXPECT_EQ(hooks.calls, (std::vector<std::string>{"arp 192.168.1.5", "delete 192.168.1.0"}));
}

TEST_F(TableEditorTest, SubnetsFoundByAliasOrAddressAreDeletedInOneStep) {
  const SubnetId a = Subnet("192.168.1.0", "255.255.255.0");
  const SubnetId b = Subnet("192.168.2.0", "255.255.255.0");
  ASSERT_TRUE(Row(b, "192.168.2.5").ok());
  EXPECT_EQ(editor.DeleteRowsOfSubnetAt(Ip("192.168.3.0")).refusal, TableRefusal::kNoSuchEntry);
  EXPECT_EQ(editor.DeleteRowsOfSubnetAt(Ip("192.168.1.0")).rows_removed, 0u);
  const TableChange rows = editor.DeleteRowsOfSubnetAt(Ip("192.168.2.0"));
  EXPECT_TRUE(rows.ok());
  EXPECT_EQ(rows.rows_removed, 1u);
  EXPECT_TRUE(Now()->ip_mac_rows().empty());

  EXPECT_EQ(editor.DeleteSubnetWithAlias("NONE", prompt).refusal, TableRefusal::kNoSuchEntry);
  const std::string alias = Now()->FindSubnet(a)->Alias;
  ASSERT_TRUE(editor.DeleteSubnetWithAlias(alias, prompt).ok());
  EXPECT_EQ(Now()->FindSubnet(a), nullptr);
  EXPECT_NE(Now()->FindSubnet(b), nullptr);
}

TEST_F(TableEditorTest, RowValidationMessagesInTheirOrder) {
  const SubnetId a = Subnet("192.168.1.0", "255.255.255.0");
  const SubnetId b = Subnet("10.0.0.0", "255.0.0.0");
  ASSERT_TRUE(Row(b, "10.0.0.7").ok());
  struct Case {
    SubnetId subnet;
    const char* address;
    const char* mac;
    TableRefusal refusal;
    const char* message;
  } cases[] = {
      {a, "192.168.1.x", "00-00-00-00-00-01", TableRefusal::kInvalidIp, "Invalid IP address"},
      {a, "255.255.255.255", "00-00-00-00-00-01", TableRefusal::kInvalidIp, "Invalid IP address"},
      {a, "10.0.0.7", "00-00-00-00-00-01", TableRefusal::kOutOfSubnet,
       "IP address is out of this subnet"},
      {b, "10.0.0.7", "00-00-00-00-00-02", TableRefusal::kIpExists,
       "IP address already exists. Delete it first in order to change entry"},
      {a, "192.168.1.9", "00-0A-1B-2C-3D", TableRefusal::kInvalidMac, "Invalid MAC address"},
      {a, "192.168.1.9", "00-0A-1B-2C-3D-XY", TableRefusal::kInvalidMac, "Invalid MAC address"},
  };
  for (const Case& c : cases) {
    const TableChange change = Row(c.subnet, c.address, c.mac);
    EXPECT_EQ(change.refusal, c.refusal) << c.address << " " << c.mac;
    EXPECT_EQ(change.message, c.message);
    EXPECT_EQ(LastText(), c.message);
  }
  ASSERT_TRUE(Row(a, "192.168.1.9", "00:0a:1B:2c:3D:4e").ok());
  const IpMacEntry* row = Now()->FindIpMacRow(Ip("192.168.1.9"));
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->mac_text, "00-0A-1B-2C-3D-4E");
  EXPECT_EQ((row->mac), (MacAddress{0x00, 0x0a, 0x1b, 0x2c, 0x3d, 0x4e}));
  EXPECT_EQ(row->address_text, "192.168.1.9");
}

TEST_F(TableEditorTest, RemoteRowsFindTheirSubnet) {
  Subnet("192.168.1.0", "255.255.255.0");
  EXPECT_TRUE(editor.AddIpMacRowToItsSubnet("192.168.1.7", "00-00-00-00-00-07", prompt).ok());
  EXPECT_EQ(editor.AddIpMacRowToItsSubnet("10.1.1.1", "00-00-00-00-00-07", prompt).refusal,
            TableRefusal::kNoSubnetForIp);
}

TEST_F(TableEditorTest, EditingARowKeepsItsProfileAndDropsTheOldArpEntry) {
  const SubnetId id = Subnet("192.168.1.0", "255.255.255.0");
  ASSERT_TRUE(Row(id, "192.168.1.5").ok());
  ASSERT_TRUE(Row(id, "192.168.1.6").ok());
  EXPECT_EQ(
      editor.EditIpMacRow(Ip("192.168.1.5"), "192.168.1.6", "00-00-00-00-00-09", prompt).refusal,
      TableRefusal::kIpExists);
  hooks.calls.clear();
  ASSERT_TRUE(
      editor.EditIpMacRow(Ip("192.168.1.5"), "192.168.1.4", "00-00-00-00-00-09", prompt).ok());
  const auto now = Now();
  EXPECT_EQ(now->FindIpMacRow(Ip("192.168.1.5")), nullptr);
  ASSERT_NE(now->FindIpMacRow(Ip("192.168.1.4")), nullptr);
  EXPECT_EQ(now->ip_mac_rows()[0].address_text, "192.168.1.4");
  EXPECT_EQ(hooks.calls, (std::vector<std::string>{"arp 192.168.1.5"}));
  prompt.answers = {PromptAnswer::kNo};
  EXPECT_EQ(editor.DeleteIpMacRow(Ip("192.168.1.4"), prompt).refusal, TableRefusal::kCancelled);
  EXPECT_EQ(prompt.requests.back().title, "Delete IP/MAC entry");
  EXPECT_TRUE(editor.DeleteIpMacRow(Ip("192.168.1.4"), prompt).ok());
  EXPECT_EQ(Now()->ip_mac_rows().size(), 1u);
}

TEST_F(TableEditorTest, RangesCarryTheMacAndStopAtTheSubnetEnd) {
  const SubnetId id = Subnet("192.168.1.0", "255.255.255.0");
  const TableChange change =
      editor.AddIpMacRange(id, "192.168.1.254", "00-00-00-00-00-FF", 3, prompt);
  EXPECT_EQ(change.rows_added, 2u);
  const auto now = Now();
  ASSERT_EQ(now->ip_mac_rows().size(), 2u);
  EXPECT_EQ(now->FindIpMacRow(Ip("192.168.1.254"))->mac_text, "00-00-00-00-00-FF");
  EXPECT_EQ(now->FindIpMacRow(Ip("192.168.1.255"))->mac_text, "00-00-00-00-01-00");
  EXPECT_EQ(LastText(), "IP 192.168.2.0 is out of this subnet. The range ends before it");
  EXPECT_EQ(NextMac({0xff, 0xff, 0xff, 0xff, 0xff, 0xff}), (MacAddress{}));
}

TEST_F(TableEditorTest, RangesSkipExistingRows) {
  const SubnetId id = Subnet("192.168.1.0", "255.255.255.0");
  ASSERT_TRUE(Row(id, "192.168.1.11").ok());
  const TableChange change =
      editor.AddIpMacRange(id, "192.168.1.10", "00-00-00-00-00-10", 3, prompt);
  EXPECT_EQ(change.rows_added, 2u);
  EXPECT_EQ(change.skipped, std::vector<std::string>{"192.168.1.11"});
  EXPECT_EQ(LastText(), "IP 192.168.1.11 address already exists. Skipped");
  EXPECT_EQ(Now()->FindIpMacRow(Ip("192.168.1.12"))->mac_text, "00-00-00-00-00-12");
  EXPECT_EQ(editor.AddIpMacRange(id, "10.0.0.1", "00-00-00-00-00-10", 3, prompt).refusal,
            TableRefusal::kOutOfSubnet);
  EXPECT_EQ(editor.AddIpMacRange(id, "192.168.1.20", "zz", 3, prompt).refusal,
            TableRefusal::kInvalidMac);
  EXPECT_EQ(editor.AddIpMacRange(id, "192.168.1.20", "00-00-00-00-00-10", 0, prompt).rows_added,
            0u);
}

TEST_F(TableEditorTest, TheRowTableRefusesA4097thRow) {
  const SubnetId id = Subnet("10.0.0.0", "255.0.0.0");
  EXPECT_EQ(editor.AddIpMacRange(id, "10.0.0.1", "00-00-00-00-00-01", 5000, prompt).rows_added,
            4096u);
  EXPECT_EQ(LastText(), "The IP/MAC table is full: 4096 rows at most");
  EXPECT_EQ(Row(id, "10.1.0.1").refusal, TableRefusal::kRowTableFull);
  EXPECT_EQ(Now()->ip_mac_rows().size(), 4096u);
}

TEST_F(TableEditorTest, Ipv6SubnetsAndRows) {
  prompt.answers = {PromptAnswer::kYes};
  const TableChange zeta = editor.AddIpv6Subnet("Zeta", 0, prompt);
  EXPECT_EQ(LastText(), "PID has zero value. Continue?");
  const TableChange alpha = editor.AddIpv6Subnet("Alpha", 7, prompt);
  ASSERT_TRUE(zeta.ok() && alpha.ok());
  EXPECT_EQ(Now()->ipv6_subnets()[0].Alias, "Alpha");
  EXPECT_EQ(editor.AddIpv6MacRow(alpha.subnet, "2001:db8::zz", "00-00-00-00-00-01", prompt).message,
            "Invalid Ipv6 Address.");
  ASSERT_TRUE(editor.AddIpv6MacRow(alpha.subnet, "2001:db8::1", "00-00-00-00-00-01", prompt).ok());
  EXPECT_EQ(editor.AddIpv6MacRow(zeta.subnet, "2001:db8::1", "00-00-00-00-00-02", prompt).message,
            "IP address already exists. Delete it first in order to change entry");
  EXPECT_EQ(editor.AddIpv6MacRow(zeta.subnet, "2001:db8::2", "00-00", prompt).message,
            "Invalid MAC address");
  const Ipv6Address one = *TextToIpv6("2001:db8::1");
  ASSERT_TRUE(editor.EditIpv6MacRow(one, "2001:db8::3", "00-00-00-00-00-03", prompt).ok());
  const Ipv6Address three = *TextToIpv6("2001:db8::3");
  ASSERT_NE(Now()->FindIpv6MacRow(three), nullptr);
  EXPECT_EQ(Now()->TableNameOf(*Now()->FindIpv6MacRow(three)),
            Now()->FindIpv6Subnet(alpha.subnet)->IPSubNetMAC);
  ASSERT_TRUE(editor.EditIpv6Subnet(alpha.subnet, "Omega", 7, prompt).ok());
  EXPECT_EQ(Now()->ipv6_subnets()[0].Alias, "Omega");
  prompt.answers = {PromptAnswer::kNo};
  EXPECT_EQ(editor.DeleteIpv6MacRow(three, prompt).refusal, TableRefusal::kCancelled);
  EXPECT_EQ(prompt.requests.back().title, "Delete IPv6/MAC entry");
  ASSERT_TRUE(editor.DeleteIpv6Subnet(alpha.subnet, prompt).ok());
  EXPECT_EQ(prompt.requests.back().text,
            "All IPv6/MAC entries also have to be deleted.\nAre you sure?");
  EXPECT_TRUE(Now()->ipv6_mac_rows().empty());
}

TEST_F(TableEditorTest, InserterRowsAreRemovedWithAWarning) {
  const SubnetId id = Subnet("192.168.1.0", "255.255.255.0");
  ASSERT_TRUE(Row(id, "192.168.1.7").ok());
  ASSERT_TRUE(Row(id, "192.168.1.8").ok());
  const std::string name = Now()->subnets()[0].IPSubNetMAC;
  editor.RemoveInserterRows(Ip("192.168.1.7"), prompt);
  EXPECT_EQ(prompt.requests.back().title, "ARP Table Init Warning");
  EXPECT_EQ(LastText(), "File \"" + name +
                            "\" contains a row with the IP address 192.168.1.7 which\nis the same "
                            "as QoS destination IP. This IP will not be included into resolving "
                            "table\nin order to avoid system internal loop, but it still remains "
                            "to be QoS destination IP.");
  EXPECT_EQ(Now()->FindIpMacRow(Ip("192.168.1.7")), nullptr);
  EXPECT_EQ(Now()->ip_mac_rows().size(), 1u);
}

TEST_F(TableEditorTest, RenamingForASaveNumbersByPositionAndKeepsRows) {
  const SubnetId b = Subnet("192.168.2.0", "255.255.255.0");
  const SubnetId a = Subnet("192.168.1.0", "255.255.255.0");
  ASSERT_TRUE(Row(a, "192.168.1.5", "aa-bb-cc-dd-ee-ff").ok());
  ASSERT_TRUE(Row(b, "192.168.2.5").ok());
  std::vector<std::string> old_names;
  const auto renamed = editor.RenameForSave(old_names);
  EXPECT_EQ(old_names, (std::vector<std::string>{"NEW___SUB___NETTT000002.ini",
                                                 "NEW___SUB___NETTT000001.ini"}));
  EXPECT_EQ(renamed->FindSubnet(a)->IPSubNetMAC, "SubNet_001");
  EXPECT_EQ(renamed->FindSubnet(b)->IPSubNetMAC, "SubNet_002");
  EXPECT_EQ(renamed->FindIpMacRow(Ip("192.168.1.5"))->mac_text, "aa-bb-cc-dd-ee-ff");
  EXPECT_EQ(renamed->TableNameOf(*renamed->FindIpMacRow(Ip("192.168.2.5"))), "SubNet_002");
}

}  // namespace
}  // namespace velmora
