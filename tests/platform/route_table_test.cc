#include "platform/route_table.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/address_text.h"
#include "platform/netlink_socket.h"
#include "platform/network_links.h"
#include "testing/namespace_test.h"

namespace velmora {
namespace {

// Dumps of the kernel's tables in a network namespace of the test's own, while another process
// keeps changing them.
class RouteTableTest : public testing::NamespaceTest {
 protected:
  // A veth "v0" with `count` host routes 172.16.x.y/32 through it, each with `options`.
  int AddHostRoutes(int count, const std::string& options) {
    return Run(
        "ip link add v0 type veth peer name p0 && ip link set v0 up && "
        "for i in $(seq 0 " +
        std::to_string(count - 1) +
        "); do echo route add 172.16.$((i / 250)).$((i % 250))/32 dev v0 " + options +
        "; done | ip -batch -");
  }
};

TEST_F(RouteTableTest, DumpsThatAChangeInterruptsAreReadAgainWhole) {
  constexpr int kPairs = 200;
  ASSERT_EQ(Run("for i in $(seq " + std::to_string(kPairs) +
                "); do echo link add v$i type veth peer name p$i; "
                "echo address add 10.$((i / 250)).$((i % 250)).1/24 dev v$i; done "
                "| ip -batch -"),
            0);
  // Ended with the namespace.
  ASSERT_EQ(Run("while true; do ip link add c0 type veth peer name c1; "
                "ip address add 10.200.0.1/24 dev c0; ip link del c0; done "
                ">/dev/null 2>&1 &"),
            0);
  RouteTable table;
  for (int i = 0; i < 40; ++i) {
    const auto links = ListNetworkLinks();
    ASSERT_TRUE(links) << "link dump " << i << ": " << std::strerror(errno);
    EXPECT_GE(links->size(), 2u * kPairs + 1);
    const auto addresses = table.ListAddresses();
    ASSERT_TRUE(addresses) << "address dump " << i << ": " << std::strerror(errno);
    EXPECT_GE(addresses->size(), kPairs + 1u);
  }
}

TEST_F(RouteTableTest, ARouteTableOfManyPagesIsReadWhole) {
  constexpr int kRoutes = 5000;
  ASSERT_EQ(AddHostRoutes(kRoutes, "proto 77"), 0);
  RouteTable table;
  const auto routes = table.ListRoutes();
  ASSERT_TRUE(routes) << std::strerror(errno);
  int own = 0;
  for (const RouteRow& row : *routes) own += row.protocol == kVelmoraRouteProtocol;
  EXPECT_EQ(own, kRoutes);
}

// Starts a request on `socket` for an on-link host route to `destination` through `interface`.
void StartHostRoute(NetlinkSocket& socket, uint16_t type, uint16_t flags, const char* destination,
                    uint32_t interface) {
  nlmsghdr* message = socket.StartMessage(type, flags, sizeof(rtmsg));
  auto* header = static_cast<rtmsg*>(mnl_nlmsg_get_payload(message));
  header->rtm_family = AF_INET;
  header->rtm_dst_len = 32;
  header->rtm_table = RT_TABLE_MAIN;
  header->rtm_scope = RT_SCOPE_LINK;
  header->rtm_type = RTN_UNICAST;
  mnl_attr_put_u32(message, RTA_DST, DottedToAddress(destination));
  mnl_attr_put_u32(message, RTA_OIF, interface);
}

TEST_F(RouteTableTest, AChangeAfterAnAbandonedDumpGetsItsOwnAnswer) {
  constexpr int kRoutes = 3000;
  ASSERT_EQ(AddHostRoutes(kRoutes, ""), 0);
  const auto links = ListNetworkLinks();
  ASSERT_TRUE(links);
  uint32_t interface = 0;
  for (const NetworkLink& link : *links) interface = link.name == "v0" ? link.index : interface;
  ASSERT_NE(interface, 0u);
  NetlinkSocket socket;
  socket.StartMessage(RTM_GETROUTE, NLM_F_DUMP, sizeof(rtmsg));
  int seen = 0;
  EXPECT_FALSE(socket.Dump([&seen](const nlmsghdr&) { return ++seen < 10; }, [] {}));
  EXPECT_EQ(seen, 10);

  StartHostRoute(socket, RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL, "172.31.0.1", interface);
  EXPECT_EQ(socket.Change(), 0);
  StartHostRoute(socket, RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL, "172.31.0.1", interface);
  EXPECT_EQ(socket.Change(), EEXIST);
  StartHostRoute(socket, RTM_DELROUTE, 0, "172.31.0.1", interface);
  EXPECT_EQ(socket.Change(), 0);
  StartHostRoute(socket, RTM_DELROUTE, 0, "172.31.0.1", interface);
  EXPECT_EQ(socket.Change(), ESRCH);
}

TEST_F(RouteTableTest, ASocketThatCouldNotOpenSaysWhyAndOpensAtItsNextUse) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  rlimit no_descriptors = limit;
  no_descriptors.rlim_cur = 0;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &no_descriptors), 0);
  NetlinkSocket socket;
  StartHostRoute(socket, RTM_DELROUTE, 0, "172.31.0.1", 1);
  errno = EEXIST;  // left by an earlier call: never the answer
  const int refused = socket.Change();
  socket.StartMessage(RTM_GETROUTE, NLM_F_DUMP, sizeof(rtmsg));
  errno = 0;
  const bool dumped_shut = socket.Dump([](const nlmsghdr&) { return true; }, [] {});
  const int dump_error = errno;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);

  EXPECT_EQ(refused, EMFILE);
  EXPECT_FALSE(dumped_shut);
  EXPECT_EQ(dump_error, EMFILE);
  EXPECT_TRUE(socket.Dump([](const nlmsghdr&) { return true; }, [] {})) << std::strerror(errno);
  EXPECT_TRUE(socket.is_open());
  StartHostRoute(socket, RTM_DELROUTE, 0, "172.31.0.1", 1);
  EXPECT_EQ(socket.Change(), ESRCH);
}

}  // namespace
}  // namespace velmora
