#include <gtest/gtest.h>

#include "testing/stored_configuration.h"

namespace velmora {
namespace {

using testing::StoredConfiguration;

const char kExample[] =
    "[NETWORKS]\r\n"
    "Alias=\"Office\", IPSubNetAddr=192.168.1.0, IPSubNetMask=255.255.255.0, "
    "IPSubNetMAC=\"SubNet_001\",\r\n"
    "    IPSubNetPID=256\r\n"
    "\r\n"
    "[SubNet_001]\r\n"
    "; IP/MACs for the subnet entry: Alias=\"Office\" IPsubnet=192.168.1.0\r\n"
    "192.168.1.5    00-0a-1b-2c-3d-4e Gold\r\n";

const char kEmptyIpv6Part[] = "\r\n[NETV6WORKS]\r\n";

uint32_t Ip(const char* text) {
  return DottedToAddress(text);
}

// Loads `text`, saves, loads the saved file into a fresh configuration and saves again: the two
// saves must be equal byte for byte.
std::string SavedTwice(const std::string& text) {
  StoredConfiguration first;
  first.Load(text);
  const std::string saved = first.Save();
  StoredConfiguration second;
  second.Load(saved);
  EXPECT_EQ(second.Save(), saved);
  return saved;
}

TEST(ConfigurationTablesTest, TheWrittenExampleReadsBackExactly) {
  StoredConfiguration config;
  config.Load(std::string(kExample));
  const auto tables = config.tables.tables().Snapshot();
  ASSERT_EQ(tables->subnets().size(), 1u);
  EXPECT_EQ(tables->subnets()[0].Alias, "Office");
  EXPECT_EQ(tables->subnets()[0].IPSubNetPID, 256);
  const IpMacEntry* row = tables->FindIpMacRow(Ip("192.168.1.5"));
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->profile_alias, "Gold");
  EXPECT_EQ(config.SavedTables(), "\r\n" + std::string(kExample) + kEmptyIpv6Part);
}

TEST(ConfigurationTablesTest, RowLinesAreCheckedAndColonsBecomeHyphens) {
  StoredConfiguration config;
  config.Load(std::string(
      "[NETWORKS]\r\nAlias=\"A\", IPSubNetAddr=192.168.1.0, IPSubNetMask=255.255.255.0,\r\n"
      "  IPSubNetMAC=\"SubNet_001\", IPSubNetPID=0x100\r\n"
      "[SubNet_001]\r\n"
      "10.0.0.9    00-11-22-33-44-55\r\n"             // outside its subnet
      "192.168.1.9 00:11:22:33:44:55\r\n"             // colons, one blank
      "192.168.1.10\t00-11-22-33-44-5\r\n"            // a MAC too short
      "192.168.1.11    00-11-22-33-44-56 a.b-c\r\n"   // an alias with dots and hyphens
      "192.168.1.11    00-11-22-33-44-57 second\r\n"  // the same address again
      "192.168.1    00-11-22-33-44-58\r\n"));
  const auto tables = config.tables.tables().Snapshot();
  EXPECT_EQ(tables->subnets()[0].IPSubNetPID, 256);
  ASSERT_EQ(tables->ip_mac_rows().size(), 2u);
  EXPECT_EQ(tables->FindIpMacRow(Ip("192.168.1.9"))->mac_text, "00-11-22-33-44-55");
  EXPECT_EQ(tables->FindIpMacRow(Ip("192.168.1.11"))->profile_alias, "a.b-c");
  const std::string saved = config.SavedTables();
  EXPECT_NE(saved.find("\r\n192.168.1.9    00-11-22-33-44-55 \r\n"), std::string::npos);
  EXPECT_NE(saved.find("\r\n192.168.1.11    00-11-22-33-44-56 a.b-c\r\n"), std::string::npos);
}

TEST(ConfigurationTablesTest, AnIncompatibleSubnetIsReportedAndKept) {
  StoredConfiguration config;
  config.Load(std::string(
      "[NETWORKS]\r\nAlias=\"A\", IPSubNetAddr=192.168.1.5, IPSubNetMask=255.255.255.0, "
      "IPSubNetMAC=\"SubNet_001\", IPSubNetPID=1\r\n"));
  ASSERT_EQ(config.prompt.requests.size(), 1u);
  EXPECT_EQ(config.prompt.requests[0].title, "Incorrect .ini parameter");
  EXPECT_EQ(
      config.prompt.requests[0].text,
      "Parameters IPSubNetAddr and IPSubNetMask\nin .ini file are incompatible (See the "
      "following row in [NETWORK] section):\nAlias=A,IPSubNetAddr=192.168.1.5,"
      "IPSubNetMask=255.255.255.0,IPSubNetMAC=SubNet_001,IPSubNetPID=1\n"
      "Must: ((IPSubNetAddr & IPSubNetMask)=IPSubNetAddr)\nUnexpected results are possible !");
  EXPECT_EQ(config.tables.tables().Snapshot()->subnets().size(), 1u);
}

TEST(ConfigurationTablesTest, SubnetsAreRenumberedInAddressOrderWithTheirOwnRows) {
  const std::string saved = SavedTwice(
      "[NETWORKS]\r\n"
      "Alias=\"B\", IPSubNetAddr=192.168.2.0, IPSubNetMask=255.255.255.0, "
      "IPSubNetMAC=\"SubNet_001\", IPSubNetPID=2\r\n"
      "Alias=\"A\", IPSubNetAddr=192.168.1.0, IPSubNetMask=255.255.255.0, "
      "IPSubNetMAC=\"SubNet_002\", IPSubNetPID=1\r\n"
      "[SubNet_001]\r\n192.168.2.7    00-00-00-00-00-02 \r\n"
      "[SubNet_002]\r\n192.168.1.7    00-00-00-00-00-01 \r\n");
  EXPECT_NE(saved.find("[SubNet_001]\r\n; IP/MACs for the subnet entry: Alias=\"A\" "
                       "IPsubnet=192.168.1.0\r\n192.168.1.7    00-00-00-00-00-01 \r\n"),
            std::string::npos);
  EXPECT_NE(saved.find("[SubNet_002]\r\n; IP/MACs for the subnet entry: Alias=\"B\" "
                       "IPsubnet=192.168.2.0\r\n192.168.2.7    00-00-00-00-00-02 \r\n"),
            std::string::npos);
}

TEST(ConfigurationTablesTest, StandAloneRowFilesTakePrecedenceAndGoAfterTheSave) {
  StoredConfiguration config;
  config.files.WriteFileAtomically("SubNet_001", "192.168.1.8    00-00-00-00-00-08 File\n");
  config.Load(std::string(kExample));
  const auto tables = config.tables.tables().Snapshot();
  ASSERT_EQ(tables->ip_mac_rows().size(), 1u);
  EXPECT_EQ(tables->ip_mac_rows()[0].profile_alias, "File");

  config.files.set_writable(false);  // a failed save keeps the file
  config.Save();
  config.files.set_writable(true);
  EXPECT_TRUE(config.files.ReadFile("SubNet_001"));
  const std::string saved = config.SavedTables();
  EXPECT_FALSE(config.files.ReadFile("SubNet_001"));
  EXPECT_NE(saved.find("192.168.1.8    00-00-00-00-00-08 File"), std::string::npos);
  EXPECT_EQ(saved.find("192.168.1.5"), std::string::npos);
}

TEST(ConfigurationTablesTest, OwnFilesAndPathsAreNeverRowFiles) {
  StoredConfiguration config;
  config.files.WriteFileAtomically("velmora.log", "192.168.1.8    00-00-00-00-00-08\n");
  config.files.WriteFileAtomically("../x", "192.168.1.9    00-00-00-00-00-09\n");
  config.Load(
      std::string("[NETWORKS]\r\n"
                  "Alias=\"A\", IPSubNetAddr=192.168.1.0, IPSubNetMask=255.255.255.0, "
                  "IPSubNetMAC=\"velmora.log\", IPSubNetPID=1\r\n"
                  "Alias=\"B\", IPSubNetAddr=192.168.2.0, IPSubNetMask=255.255.255.0, "
                  "IPSubNetMAC=\"../x\", IPSubNetPID=1\r\n"));
  EXPECT_TRUE(config.tables.tables().Snapshot()->ip_mac_rows().empty());
  config.Save();
  EXPECT_TRUE(config.files.ReadFile("velmora.log"));
  EXPECT_TRUE(config.files.ReadFile("../x"));
}

TEST(ConfigurationTablesTest, SubnetsSharingANameNeverShareRows) {
  StoredConfiguration config;
  config.files.WriteFileAtomically("X", "192.168.1.8    00-00-00-00-00-08\n");
  config.files.WriteFileAtomically("XAlT", "192.168.2.8    00-00-00-00-00-09\n");
  config.Load(
      std::string("[NETWORKS]\r\n"
                  "Alias=\"A\", IPSubNetAddr=192.168.1.0, IPSubNetMask=255.255.255.0, "
                  "IPSubNetMAC=\"X\", IPSubNetPID=1\r\n"
                  "Alias=\"B\", IPSubNetAddr=192.168.2.0, IPSubNetMask=255.255.255.0, "
                  "IPSubNetMAC=\"XAlT\", IPSubNetPID=1\r\n"
                  "Alias=\"C\", IPSubNetAddr=192.168.3.0, IPSubNetMask=255.255.255.0, "
                  "IPSubNetMAC=\"X\", IPSubNetPID=1\r\n"));
  const std::string saved = config.SavedTables();
  EXPECT_NE(saved.find("[SubNet_001]\r\n; IP/MACs for the subnet entry: Alias=\"A\" "
                       "IPsubnet=192.168.1.0\r\n192.168.1.8 "),
            std::string::npos);
  EXPECT_NE(saved.find("[SubNet_002]\r\n; IP/MACs for the subnet entry: Alias=\"B\" "
                       "IPsubnet=192.168.2.0\r\n192.168.2.8 "),
            std::string::npos);
  EXPECT_NE(saved.find("[SubNet_003]\r\n; IP/MACs for the subnet entry: Alias=\"C\" "
                       "IPsubnet=192.168.3.0\r\n\r\n"),
            std::string::npos);
  EXPECT_EQ(saved.find("NEW___SUB___NETTT"), std::string::npos);
}

TEST(ConfigurationTablesTest, LongAliasesWrapAndReadBack) {
  StoredConfiguration config;
  config.Load();
  const std::string alias(100, 'L');
  ASSERT_TRUE(
      config.tables.editor().AddSubnet({alias, "10.0.0.0", "255.0.0.0", 7}, config.prompt).ok());
  ASSERT_TRUE(config.tables.editor().AddIpv6Subnet(alias + "6", 8, config.prompt).ok());
  const auto v6 = config.tables.tables().Snapshot()->ipv6_subnets()[0].id;
  ASSERT_TRUE(config.tables.editor()
                  .AddIpv6MacRow(v6, "2001:db8::1", "00-00-00-00-00-01", config.prompt)
                  .ok());
  ASSERT_TRUE(config.tables.editor()
                  .AddIpMacRow(config.tables.tables().Snapshot()->subnets()[0].id, "10.0.0.1",
                               "00-00-00-00-00-01", config.prompt)
                  .ok());
  const std::string saved = config.Save();
  EXPECT_NE(saved.find("Alias=\"" + alias + "\",\r\n    IPSubNetAddr=10.0.0.0"), std::string::npos);
  EXPECT_NE(saved.find("Alias=\"" + alias + "6\",\r\n    IPSubNetMAC=\"SubNetV6_001\""),
            std::string::npos);
  StoredConfiguration reread;
  reread.Load(saved);
  const auto tables = reread.tables.tables().Snapshot();
  ASSERT_EQ(tables->subnets().size(), 1u);
  EXPECT_EQ(tables->subnets()[0].Alias, alias);
  EXPECT_EQ(tables->ip_mac_rows().size(), 1u);
  ASSERT_EQ(tables->ipv6_subnets().size(), 1u);
  EXPECT_EQ(tables->ipv6_subnets()[0].Alias, alias + "6");
  EXPECT_EQ(tables->ipv6_subnets()[0].IPSubNetPID, 8);
  EXPECT_EQ(tables->ipv6_mac_rows().size(), 1u);
  EXPECT_EQ(reread.Save(), saved);
}

TEST(ConfigurationTablesTest, FullTablesRoundTripAndTheLimitsHold) {
  StoredConfiguration config;
  config.Load();
  for (int i = 0; i < 128; ++i) {
    const std::string net = "10." + std::to_string(i) + ".0.0";
    const TableChange subnet = config.tables.editor().AddSubnet(
        {"net " + std::to_string(i), net, "255.255.0.0", static_cast<uint16_t>(i + 1)},
        config.prompt);
    ASSERT_TRUE(subnet.ok());
    ASSERT_EQ(config.tables.editor()
                  .AddIpMacRange(subnet.subnet, "10." + std::to_string(i) + ".0.1",
                                 "02-00-00-00-00-00", 32, config.prompt)
                  .rows_added,
              32u);
  }
  ASSERT_EQ(config.tables.tables().Snapshot()->ip_mac_rows().size(), 4096u);
  const std::string saved = SavedTwice(config.Save());
  StoredConfiguration reread;
  reread.Load(saved);
  EXPECT_EQ(reread.tables.tables().Snapshot()->subnets().size(), 128u);
  EXPECT_EQ(reread.tables.tables().Snapshot()->ip_mac_rows().size(), 4096u);

  // A hand-made file with more: reading stops at 4096 rows, then the first 128 subnets by address
  // are kept with their rows (the last subnet's 32 go with it).
  std::string text = saved;
  const size_t networks = text.find("[NETWORKS]\r\n") + 12;
  text.insert(networks,
              "Alias=\"first\", IPSubNetAddr=9.0.0.0, IPSubNetMask=255.0.0.0, "
              "IPSubNetMAC=\"SubNet_999\", IPSubNetPID=1\r\n");
  text += "[SubNet_999]\r\n9.0.0.1    00-00-00-00-00-01 \r\n";
  StoredConfiguration more;
  more.Load(text);
  const auto tables = more.tables.tables().Snapshot();
  EXPECT_EQ(tables->subnets().size(), 128u);
  EXPECT_EQ(tables->subnets()[0].Alias, "first");
  EXPECT_EQ(tables->ip_mac_rows().size(), 4096u - 32u);
  EXPECT_EQ(tables->FindSubnetForAddress(Ip("10.127.0.1")), nullptr);
}

TEST(ConfigurationTablesTest, ListsAndIpv6SectionsRoundTripInTheirOrder) {
  const std::string saved = SavedTwice(
      "[USERPROFILES]\r\nZeta=1,2,3\r\nAlpha=4,5,16000000\r\n"
      "[L2TPPEERS]\r\n10.0.0.2\r\n"
      "[L2TPUSERS]\r\nbob=secret\r\n"
      "[PYLONSRCFILTER]\r\n10.0.0.1\r\n"
      "[NETV6WORKS]\r\nAlias=\"V6\", IPSubNetMAC=\"SubNetV6_001\", IPSubNetPID=9\r\n"
      "[SubNetV6_001]\r\n2001:db8::7    00:11:22:33:44:AA Gold\r\n");
  const size_t filter = saved.find("\r\n[PYLONSRCFILTER]\r\n10.0.0.1\r\n");
  const size_t users = saved.find("\r\n[L2TPUSERS]\r\nbob=secret\r\n");
  const size_t peers = saved.find("\r\n[L2TPPEERS]\r\n10.0.0.2\r\n");
  const size_t profiles = saved.find("\r\n[USERPROFILES]\r\nAlpha=4,5,16000000\r\nZeta=1,2,3\r\n");
  const size_t networks = saved.find("\r\n[NETWORKS]\r\n");
  ASSERT_NE(filter, std::string::npos);
  EXPECT_LT(filter, users);
  EXPECT_LT(users, peers);
  EXPECT_LT(peers, profiles);
  EXPECT_LT(profiles, networks);
  EXPECT_NE(saved.find("\r\n[NETV6WORKS]\r\nAlias=\"V6\", IPSubNetMAC=\"SubNetV6_001\", "
                       "IPSubNetPID=9\r\n\r\n[SubNetV6_001]\r\n; IPv6/MACs for the subnet entry: "
                       "Alias=\"V6\"\r\n2001:db8::7    00:11:22:33:44:aa Gold\r\n"),
            std::string::npos);
}

// Hand-written [NETV6WORKS] rows: a "," at the end of a complete row ends nothing more than the
// row, while a row the writer wrapped still continues on the next line.
TEST(ConfigurationTablesTest, Ipv6SubnetRowsJoinOnlyWhileAFieldIsMissing) {
  const std::string wrapped_alias(80, 'w');
  StoredConfiguration config;
  config.Load(
      "[NETV6WORKS]\r\n"
      "Alias=\"One\", IPSubNetMAC=\"SubNetV6_001\", IPSubNetPID=1,\r\n"
      "[SubNetV6_001]\r\n2001:db8::1    00-11-22-33-44-01 Gold\r\n"
      "[NETV6WORKS]\r\n"
      "Alias=\"Two\", IPSubNetMAC=\"SubNetV6_002\", IPSubNetPID=2,\r\n"
      "Alias=\"Three\", IPSubNetMAC=\"SubNetV6_003\", IPSubNetPID=3 ,\r\n"
      "Alias=\"" +
      wrapped_alias +
      "\",\r\n    IPSubNetMAC=\"SubNetV6_004\",\r\n"
      "    IPSubNetPID=4\r\n"
      "Alias=\"Five\", IPSubNetMAC=\"SubNetV6_005\",\r\n"  // no PID, and the next row begins
      "Alias=\"Six\", IPSubNetMAC=\"SubNetV6_006\", IPSubNetPID=6\r\n"
      "[SubNetV6_003]\r\n2001:db8::3    00-11-22-33-44-03\r\n"
      "[SubNetV6_004]\r\n2001:db8::4    00-11-22-33-44-04\r\n");
  const auto tables = config.tables.tables().Snapshot();
  std::vector<std::pair<std::string, uint16_t>> subnets;
  for (const Ipv6SubnetEntry& subnet : tables->ipv6_subnets()) {
    subnets.emplace_back(subnet.Alias, subnet.IPSubNetPID);
  }
  EXPECT_EQ(
      subnets,
      (std::vector<std::pair<std::string, uint16_t>>{
          {"Five", 0}, {"One", 1}, {"Six", 6}, {"Three", 3}, {"Two", 2}, {wrapped_alias, 4}}));
  std::vector<std::pair<std::string, std::string>> rows;  // address and the alias of its subnet
  for (const Ipv6MacEntry& row : tables->ipv6_mac_rows()) {
    rows.emplace_back(row.address_text, tables->FindIpv6Subnet(row.subnet)->Alias);
  }
  EXPECT_EQ(rows,
            (std::vector<std::pair<std::string, std::string>>{
                {"2001:db8::1", "One"}, {"2001:db8::3", "Three"}, {"2001:db8::4", wrapped_alias}}));

  // The save keeps every row, and what it writes reads back the same.
  const std::string saved = SavedTwice(config.Save());
  EXPECT_NE(saved.find("\r\n2001:db8::1    00-11-22-33-44-01 Gold\r\n"), std::string::npos);
  EXPECT_NE(saved.find("\r\n2001:db8::3    00-11-22-33-44-03 \r\n"), std::string::npos);
  EXPECT_NE(saved.find("\r\n2001:db8::4    00-11-22-33-44-04 \r\n"), std::string::npos);
}

TEST(ConfigurationTablesTest, TheDefaultProfileComesFromTheProfiles) {
  StoredConfiguration config;
  config.Load(
      std::string("[GENERAL]\r\nDefaultUP=none\r\n"
                  "[USERPROFILES]\r\nA=1,2,3\r\nB=1,2,16000000\r\nC=1,2,5\r\n"));
  EXPECT_EQ(config.settings.DefaultUP.get(), "C");
}

TEST(ConfigurationTablesTest, BadLinesNeverStopTheLoad) {
  SavedTwice(
      "[NETWORKS]\r\nAlias=\"a=b\", IPSubNetAddr=10.0.0.0, IPSubNetMask=255.0.0.0, "
      "IPSubNetPID=1\r\n"
      "junk,\r\nAlias=\"c\", IPSubNetAddr=11.0.0.0, IPSubNetMask=255.0.0.0, "
      "IPSubNetMAC=\"SubNet_001\", IPSubNetPID=1\r\n"
      "[SubNet_001]\r\n11.0.0.1    00-00-00-00-00-01 a[b\r\n11.0.0.2    00-00-00-00-00-02\r\n"
      "[SubNet_404]\r\n11.0.0.3    00-00-00-00-00-03\r\n"
      "[NETV6WORKS]\r\nAlias=\"x\",\r\n");
}

}  // namespace
}  // namespace velmora
