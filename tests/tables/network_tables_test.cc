#include "tables/network_tables.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tables/table_editor.h"
#include "testing/recording_prompt.h"

namespace velmora {
namespace {

TEST(NetworkTablesTest, AReaderFetchesOnlyAfterAPublish) {
  NetworkTables tables;
  TableReader reader(tables);
  const TableSnapshot* first = &reader.Current();
  EXPECT_EQ(&reader.Current(), first);
  TableSnapshot next;
  next.InsertSubnet({.id = 1,
                     .IPSubNetAddr = DottedToAddress("10.0.0.0"),
                     .IPSubNetMask = DottedToAddress("255.0.0.0")});
  const auto kept = tables.Snapshot();  // a holder keeps the old tables alive
  tables.Publish(std::move(next));
  EXPECT_TRUE(kept->subnets().empty());
  EXPECT_EQ(reader.Current().subnets().size(), 1u);
}

// Readers search while an editor changes the tables; every snapshot a reader sees must be whole:
// rows of one range arrive together and leave with their subnet.
TEST(NetworkTablesTest, ReadersNeverSeeAHalfChangedTable) {
  NetworkTables tables;
  NoRouteHooks hooks;
  TableEditor editor(tables, hooks, [] { return false; });
  std::atomic<bool> done{false};
  std::atomic<int> broken{0};
  std::atomic<long> lookups{0};
  auto read = [&] {
    TableReader reader(tables);
    while (!done.load()) {
      const TableSnapshot& now = reader.Current();
      if (now.ip_mac_rows().size() % 4 != 0) ++broken;
      for (const IpMacEntry& row : now.ip_mac_rows()) {
        if (now.FindSubnet(row.subnet) == nullptr) ++broken;
        if (now.FindIpMacRow(row.address) != &row) ++broken;
        const SubnetEntry* subnet = now.FindSubnetForAddress(row.address);
        if (subnet == nullptr || subnet->id != row.subnet) ++broken;
      }
      ++lookups;
    }
  };
  std::thread a(read), b(read);
  testing::RecordingPrompt prompt;
  for (int i = 0; i < 300; ++i) {
    const std::string net = "10." + std::to_string(i % 50) + ".0.0";
    const TableChange subnet = editor.AddSubnet({"", net, "255.255.0.0", 5}, prompt);
    EXPECT_TRUE(subnet.ok()) << subnet.message;
    EXPECT_EQ(editor
                  .AddIpMacRange(subnet.subnet, "10." + std::to_string(i % 50) + ".0.1",
                                 "00-00-00-00-00-01", 4, prompt)
                  .rows_added,
              4u);
    if (i % 3 != 2) {
      EXPECT_TRUE(editor.DeleteSubnet(subnet.subnet, prompt).ok());
    }
    if (i % 50 == 49) {
      const auto now = tables.Snapshot();
      for (const SubnetEntry& s : now->subnets()) editor.DeleteSubnet(s.id, prompt);
    }
  }
  done = true;
  a.join();
  b.join();
  EXPECT_EQ(broken.load(), 0);
  EXPECT_GT(lookups.load(), 0);
}

}  // namespace
}  // namespace velmora
