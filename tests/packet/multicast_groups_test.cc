// The memberships on a veth end in a network namespace of the test's own, read back from the
// namespace's IGMP table.
#include "packet/multicast_groups.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/address_text.h"
#include "support/log.h"
#include "tables/network_tables.h"
#include "testing/igmp_table.h"
#include "testing/list_console.h"
#include "testing/namespace_test.h"

namespace velmora {
namespace {

class MulticastGroupsTest : public testing::NamespaceTest {
 protected:
  void SetUp() override {
    NamespaceTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    log_.SetConsoleTarget(&console_);
    ASSERT_EQ(Run("ip link add mc0 type veth peer name mc1 && ip addr add 10.30.0.1/24 dev mc0 "
                  "&& ip link set mc1 up && ip link set mc0 up"),
              0);
    TableSnapshot rows;
    for (const char* address : {"239.1.0.1", "10.30.0.9", "239.1.0.2", "239.2.0.1"}) {
      rows.InsertIpMacRow({.address = DottedToAddress(address), .subnet = 1});
    }
    tables_.Publish(rows);
  }

  bool Joined(const std::string& group) const { return testing::IgmpHolds(*namespace_, group); }

  Log log_;
  testing::ListConsole console_;
  NetworkTables tables_;
  uint32_t interface_ = DottedToAddress("10.30.0.1");
  MulticastGroups groups_{log_, tables_, [this] { return interface_; }};
};

TEST_F(MulticastGroupsTest, TheTablesGroupsAreJoinedOnTheInterfaceAndGoAtDrop) {
  ASSERT_TRUE(namespace_->entered());
  groups_.Join();
  EXPECT_EQ(groups_.groups().size(), 3u);
  for (const char* group : {"239.1.0.1", "239.1.0.2", "239.2.0.1"}) EXPECT_TRUE(Joined(group));
  EXPECT_TRUE(testing::IgmpHolds(*namespace_, "239.2.0.1", "mc0"));
  EXPECT_FALSE(testing::IgmpHolds(*namespace_, "239.2.0.1", "mc1"));
  groups_.Rejoin();
  EXPECT_TRUE(Joined("239.1.0.2"));
  EXPECT_FALSE(console_.Has("error"));
  groups_.Drop();
  EXPECT_TRUE(groups_.groups().empty());
  for (const char* group : {"239.1.0.1", "239.1.0.2", "239.2.0.1"}) EXPECT_FALSE(Joined(group));
}

TEST_F(MulticastGroupsTest, AJoinStartsFromNoMembership) {
  ASSERT_TRUE(namespace_->entered());
  groups_.Join();
  TableSnapshot rows;
  rows.InsertIpMacRow({.address = DottedToAddress("239.1.0.2"), .subnet = 1});
  tables_.Publish(rows);
  groups_.Join();
  EXPECT_EQ(groups_.groups(), std::vector<uint32_t>{DottedToAddress("239.1.0.2")});
  EXPECT_FALSE(Joined("239.1.0.1"));
  EXPECT_TRUE(Joined("239.1.0.2"));
}

// With no interface address the system picks the interface by the group's route: a group that
// has none cannot be joined, and the groups that have one still are.
TEST_F(MulticastGroupsTest, AGroupThatCannotBeJoinedIsLoggedAndTheOthersAreJoined) {
  ASSERT_TRUE(namespace_->entered());
  ASSERT_EQ(Run("ip route add 239.1.0.0/16 dev mc0"), 0);
  interface_ = 0;
  groups_.Join();
  EXPECT_EQ(console_.Count("Join error "), 1);
  EXPECT_FALSE(Joined("239.2.0.1"));
  EXPECT_TRUE(Joined("239.1.0.1"));
  EXPECT_TRUE(Joined("239.1.0.2"));
  EXPECT_EQ(groups_.groups().size(), 2u);
}

TEST_F(MulticastGroupsTest, ARejoinThatFailsIsLoggedForEachGroup) {
  ASSERT_TRUE(namespace_->entered());
  groups_.Join();
  interface_ = DottedToAddress("10.30.0.77");  // on no interface
  groups_.Rejoin();
  EXPECT_EQ(console_.Count("Disjoin error "), 3);
  groups_.Drop();
}

}  // namespace
}  // namespace velmora
