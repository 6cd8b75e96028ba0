#include "packet/corvid_routes.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "platform/address_text.h"
#include "platform/file_system.h"
#include "tables/network_tables.h"
#include "tables/table_editor.h"
#include "testing/list_console.h"
#include "testing/namespace_test.h"
#include "testing/recording_prompt.h"

namespace velmora {
namespace {

constexpr const char* kAdapterDescription = "Tessaro Corvid Emulation Driver.";

// The lines `ip -4 route show` (or another ip command) prints in the namespace, each without the
// trailing flags of a link without carrier, as the TAP is while nothing reads it.
std::vector<std::string> IpLines(const std::string& arguments) {
  std::vector<std::string> lines;
  std::FILE* pipe = ::popen(("ip " + arguments + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return lines;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
    std::string line(buffer);
    for (const std::string tail : {"\n", " ", " linkdown"}) {
      if (line.ends_with(tail)) line.resize(line.size() - tail.size());
    }
    lines.push_back(line);
  }
  ::pclose(pipe);
  return lines;
}

std::vector<std::string> Routes(const std::string& selector) {
  return IpLines("-4 route show " + selector);
}

using Lines = std::vector<std::string>;

// The TAP's hardware address as the probe logs it: upper case, with colons.
std::string AdapterMac() {
  const Lines link = IpLines("-o link show corvid0");
  const size_t at = link.empty() ? std::string::npos : link[0].find("link/ether ");
  if (at == std::string::npos) return "?";
  std::string mac = link[0].substr(at + 11, 17);
  for (char& c : mac) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return mac;
}

// Files in memory that note the system's default routes at the moment the state file is written,
// and run what the test sets up to happen then.
class WatchedFiles final : public FileSystem {
 public:
  std::optional<std::string> ReadFile(const std::string& path) override {
    return files_.ReadFile(path);
  }
  bool WriteFileAtomically(const std::string& path, std::string_view data) override {
    defaults_at_write = Routes("default");
    if (at_write) at_write();
    return files_.WriteFileAtomically(path, data);
  }
  bool RemoveFile(const std::string& path) override { return files_.RemoveFile(path); }
  void set_writable(bool writable) { files_.set_writable(writable); }

  Lines defaults_at_write;
  std::function<void()> at_write;

 private:
  MemoryFileSystem files_;
};

// Route management against the real kernel of a network namespace of the test's own: the TAP
// made by the install script, and an "uplink" veth with the system's default route via
// 10.9.0.1. The test's thread is in the namespace, and so are the threads it starts.
class CorvidRoutesTest : public testing::NamespaceTest {
 protected:
  void SetUp() override {
    NamespaceTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_EQ(Run(std::string(CORVID_ADAPTER_SCRIPT) + " add >/dev/null"), 0);
    ASSERT_EQ(AddUplink("uplink", "10.9.0", 10), 0);
    log_.SetConsoleTarget(&console_);
    log_.Configure({.level = 3});
  }

  int AddUplink(const std::string& name, const std::string& network, int metric) {
    return Run("ip link add " + name + " type veth peer name " + name + "-peer && ip address add " +
               network + ".2/24 dev " + name + " && ip link set " + name + " up && ip link set " +
               name + "-peer up && ip route add default via " + network + ".1 dev " + name +
               " metric " + std::to_string(metric));
  }

  void SetSubnets(const std::vector<std::pair<const char*, const char*>>& subnets) {
    TableSnapshot snapshot;
    SubnetId id = 1;
    for (const auto& [address, mask] : subnets) {
      snapshot.InsertSubnet({.id = id++,
                             .IPSubNetAddr = DottedToAddress(address),
                             .IPSubNetMask = DottedToAddress(mask)});
    }
    tables_.Publish(std::move(snapshot));
  }

  std::unique_ptr<CorvidRoutes> MakeRoutes() {
    return std::make_unique<CorvidRoutes>(
        log_, prompt_, files_, tables_,
        CorvidRouteSettings{kAdapterDescription, default_route_, inserter_ip_});
  }

  // Route management that replaces the default routes, with an inserter beyond the gateways.
  std::unique_ptr<CorvidRoutes> MakeDefaultRouteRoutes() {
    default_route_ = 1;
    inserter_ip_ = DottedToAddress("172.16.5.5");
    return MakeRoutes();
  }

  std::optional<std::string> StateFile() { return files_.ReadFile(kRouteStateFile); }

  // Checks that `line` was logged and `box` was the one box shown, then that the stop leaves the
  // system's routes as `system_routes`.
  void ExpectWarningThenStop(CorvidRoutes& routes, const std::string& line, const std::string& box,
                             const Lines& system_routes) {
    EXPECT_TRUE(console_.Has(line)) << line;
    EXPECT_EQ(prompt_.Texts(), Lines{box});
    routes.RemoveCorvidRoutes();
    EXPECT_EQ(Routes(""), system_routes);
  }

  // Renames the uplink, as an interface manager may between two runs.
  int RenameUplink(const std::string& from, const std::string& to) {
    return Run("ip link set " + from + " down && ip link set " + from + " name " + to +
               " && ip link set " + to + " up");
  }

  Log log_;
  testing::ListConsole console_;
  testing::RecordingPrompt prompt_;
  WatchedFiles files_;
  NetworkTables tables_;
  SharedNumber<int32_t> default_route_{0};
  SharedNumber<uint32_t> inserter_ip_{DottedToAddress("127.0.0.1")};
};

TEST_F(CorvidRoutesTest, SubnetRoutesThroughTheAdapterAreAddedAndRemovedExactly) {
  SetSubnets({{"10.1.0.0", "255.255.0.0"},
              {"239.1.0.0", "255.255.0.0"},
              {"10.2.0.0", "255.255.0.0"},
              {"10.5.1.0", "255.255.0.0"}});  // the last one has host bits: the kernel refuses it
  ASSERT_EQ(Run("ip route add 10.1.0.0/16 dev uplink"), 0);
  const Lines system_routes = Routes("");
  auto routes = MakeRoutes();

  ASSERT_TRUE(routes->ProbeCorvidAdapter());

  EXPECT_EQ(Routes("proto 77"), (Lines{"10.1.0.0/16 dev corvid0 scope link metric 1",
                                       "10.2.0.0/16 dev corvid0 scope link metric 1"}));
  EXPECT_EQ(routes->adapter_address_text(), "192.168.254.1");
  EXPECT_TRUE(console_.Has("Corvid probe..."));
  EXPECT_TRUE(console_.Has("Corvid adapter: IP=192.168.254.1, MAC=" + AdapterMac()));
  ASSERT_EQ(prompt_.requests.size(), 1u);
  EXPECT_EQ(prompt_.requests[0].title, "Route failed warning");
  EXPECT_EQ(prompt_.requests[0].text, "Cannot add all routes to interface. Check route table.");
  EXPECT_EQ(prompt_.requests[0].icon, PromptIcon::kWarning);

  routes->RemoveCorvidRoutes();
  EXPECT_EQ(Routes(""), system_routes);
  EXPECT_TRUE(console_.Has("Deleting route from interface..."));
  EXPECT_TRUE(console_.Has("Route to 10.1.0.0 deleted."));
  EXPECT_TRUE(console_.Has("Route to 10.2.0.0 deleted."));
  EXPECT_EQ(prompt_.requests.size(), 1u);
  EXPECT_FALSE(StateFile());
}

TEST_F(CorvidRoutesTest, HooksFollowTheTablesOnlyBetweenProbeAndRemoval) {
  ASSERT_EQ(Run("ip neigh add 192.168.254.2 lladdr 02:00:00:00:00:02 dev corvid0 nud permanent"),
            0);
  ASSERT_EQ(Run("ip neigh add 10.9.0.7 lladdr 02:00:00:00:00:07 dev uplink nud permanent"), 0);
  auto routes = MakeRoutes();
  routes->AddSubnetRoute(DottedToAddress("10.3.0.0"), DottedToAddress("255.255.0.0"));
  routes->DropArpEntry("192.168.254.2");
  routes->WaitForHooks();
  EXPECT_TRUE(Routes("proto 77").empty());
  EXPECT_EQ(IpLines("neigh show 192.168.254.2").size(), 1u);

  ASSERT_TRUE(routes->ProbeCorvidAdapter());
  routes->AddSubnetRoute(DottedToAddress("10.3.0.0"), DottedToAddress("255.255.0.0"));
  routes->AddSubnetRoute(DottedToAddress("224.5.0.0"), DottedToAddress("255.255.0.0"));
  routes->DropArpEntry("192.168.254.2");
  routes->DropArpEntry("10.9.0.7");
  routes->WaitForHooks();
  EXPECT_EQ(Routes("proto 77"), Lines{"10.3.0.0/16 dev corvid0 scope link metric 1"});
  EXPECT_TRUE(IpLines("neigh show 192.168.254.2").empty());
  EXPECT_EQ(IpLines("neigh show 10.9.0.7"),
            Lines{"10.9.0.7 dev uplink lladdr 02:00:00:00:00:07 PERMANENT"});

  ASSERT_EQ(Run("ip route add 10.3.0.0/16 dev uplink"), 0);
  routes->DeleteSubnetRoute(DottedToAddress("10.3.0.0"));
  routes->WaitForHooks();
  EXPECT_TRUE(Routes("proto 77").empty());
  EXPECT_EQ(Routes("10.3.0.0/16"), Lines{"10.3.0.0/16 dev uplink scope link"});

  routes->RemoveCorvidRoutes();
  routes->AddSubnetRoute(DottedToAddress("10.4.0.0"), DottedToAddress("255.255.0.0"));
  routes->WaitForHooks();
  EXPECT_TRUE(Routes("proto 77").empty());
}

TEST_F(CorvidRoutesTest, TableEditsDriveTheRoutesAndTheAdaptersNeighbours) {
  auto routes = MakeRoutes();
  TableEditor editor(tables_, *routes, [] { return true; });
  ASSERT_TRUE(routes->ProbeCorvidAdapter());

  const TableChange added = editor.AddSubnet({"Office", "10.6.0.0", "255.255.0.0", 100}, prompt_);
  ASSERT_TRUE(added.ok()) << added.message;
  ASSERT_TRUE(editor.AddIpMacRow(added.subnet, "10.6.0.5", "02-00-00-00-00-05", prompt_).ok());
  ASSERT_TRUE(editor.AddIpMacRow(added.subnet, "10.6.0.6", "02-00-00-00-00-06", prompt_).ok());
  routes->WaitForHooks();
  EXPECT_EQ(Routes("proto 77"), Lines{"10.6.0.0/16 dev corvid0 scope link metric 1"});

  // What the kernel learnt of the rows through the adapter, and a neighbour elsewhere.
  ASSERT_EQ(Run("ip neigh add 10.6.0.5 lladdr 02:00:00:00:00:05 dev corvid0 nud permanent && "
                "ip neigh add 10.6.0.6 lladdr 02:00:00:00:00:06 dev corvid0 nud permanent && "
                "ip neigh add 10.6.0.5 lladdr 02:00:00:00:00:55 dev uplink nud permanent"),
            0);
  prompt_.answers.push_back(PromptAnswer::kYes);
  ASSERT_TRUE(editor.DeleteSubnet(added.subnet, prompt_).ok());
  routes->WaitForHooks();

  EXPECT_TRUE(Routes("proto 77").empty());
  EXPECT_TRUE(IpLines("neigh show dev corvid0").empty());
  EXPECT_EQ(IpLines("neigh show 10.6.0.5"),
            Lines{"10.6.0.5 dev uplink lladdr 02:00:00:00:00:55 PERMANENT"});
  routes->RemoveCorvidRoutes();
}

TEST_F(CorvidRoutesTest, AStartAfterAKillDeletesTheLeftoverSubnetRoutes) {
  SetSubnets({{"10.1.0.0", "255.255.0.0"}, {"10.2.0.0", "255.255.0.0"}});
  ASSERT_EQ(Run("ip route add 10.1.0.0/16 dev uplink"), 0);
  const Lines system_routes = Routes("");
  ASSERT_TRUE(MakeRoutes()->ProbeCorvidAdapter());  // and the process dies without a stop
  ASSERT_EQ(Routes("proto 77").size(), 2u);

  MakeRoutes()->RecoverCorvidRoutes();

  EXPECT_EQ(Routes(""), system_routes);
  EXPECT_EQ(Routes("10.1.0.0/16"), Lines{"10.1.0.0/16 dev uplink scope link"});
  EXPECT_TRUE(console_.Has("Deleted 2 routes left by a run that did not stop."));
  EXPECT_FALSE(StateFile());
}

TEST_F(CorvidRoutesTest, DefaultRoutesAreSavedBeforeTheirDeleteAndPutBackAtTheStop) {
  ASSERT_EQ(AddUplink("uplink2", "10.8.0", 20), 0);
  // A gateway outside the interface's network, as on hosts with a /32 address.
  ASSERT_EQ(Run("ip route replace default via 10.7.0.1 dev uplink2 onlink metric 20"), 0);
  const Lines system_routes = Routes("");
  const Lines system_defaults = Routes("default");
  ASSERT_EQ(system_defaults.size(), 2u);
  auto routes = MakeDefaultRouteRoutes();

  ASSERT_TRUE(routes->ProbeCorvidAdapter());

  EXPECT_EQ(files_.defaults_at_write, system_defaults);
  EXPECT_EQ(Routes("default"), Lines{"default dev corvid0 proto 77 scope link metric 1"});
  EXPECT_EQ(Routes("172.16.5.5"), Lines{"172.16.5.5 via 10.9.0.1 dev uplink proto 77 metric 1"});
  const std::optional<std::string> saved = StateFile();
  ASSERT_TRUE(saved);
  const RouteState state = ParseRouteState(*saved);
  ASSERT_EQ(state.routes.size(), 2u);
  EXPECT_EQ(state.routes[0].interface_name, "uplink");
  EXPECT_EQ(state.routes[1].interface_name, "uplink2");
  EXPECT_TRUE(state.rejected.empty());

  routes->RemoveCorvidRoutes();
  EXPECT_EQ(Routes(""), system_routes);
  EXPECT_FALSE(StateFile());
  EXPECT_TRUE(prompt_.requests.empty());
}

TEST_F(CorvidRoutesTest, DefaultRoutesWithSeveralPathsOrNoneAreReplacedAndPutBack) {
  ASSERT_EQ(AddUplink("uplink2", "10.8.0", 20), 0);
  ASSERT_EQ(Run("ip route add default metric 0 nexthop via 10.9.0.1 dev uplink "
                "nexthop via 10.8.0.1 dev uplink2 weight 2 && "
                "ip route add blackhole default metric 100"),
            0);
  const Lines system_routes = Routes("");
  auto routes = MakeDefaultRouteRoutes();

  ASSERT_TRUE(routes->ProbeCorvidAdapter());

  EXPECT_EQ(Routes("default"), Lines{"default dev corvid0 proto 77 scope link metric 1"});
  const std::optional<std::string> saved = StateFile();
  ASSERT_TRUE(saved);
  const RouteState state = ParseRouteState(*saved);
  ASSERT_EQ(state.routes.size(), 4u);
  EXPECT_EQ(state.routes[0].next_hop_interfaces, (Lines{"uplink", "uplink2"}));
  ASSERT_EQ(state.routes[0].row.next_hops.size(), 2u);
  EXPECT_EQ(state.routes[0].row.next_hops[1].weight, 2);
  EXPECT_EQ(state.routes[3].row.type, RTN_BLACKHOLE);
  routes->RemoveCorvidRoutes();
  EXPECT_EQ(Routes(""), system_routes);
  EXPECT_TRUE(prompt_.requests.empty());

  ASSERT_TRUE(MakeRoutes()->ProbeCorvidAdapter());  // and the process dies without a stop
  MakeRoutes()->RecoverCorvidRoutes();
  EXPECT_EQ(Routes(""), system_routes);
  EXPECT_TRUE(
      console_.Has("Route 0.0.0.0/0 nexthop via 10.9.0.1 dev uplink weight 1 nexthop via "
                   "10.8.0.1 dev uplink2 weight 2 metric 0 restored."));
}

TEST_F(CorvidRoutesTest, TheInserterKeepsItsPathThroughAnOnLinkGateway) {
  ASSERT_EQ(AddUplink("uplink2", "10.8.0", 20), 0);
  ASSERT_EQ(Run("ip route add default via 10.7.0.1 dev uplink2 onlink metric 5"), 0);
  const Lines system_routes = Routes("");
  auto routes = MakeDefaultRouteRoutes();

  ASSERT_TRUE(routes->ProbeCorvidAdapter());

  EXPECT_EQ(Routes("172.16.5.5"),
            Lines{"172.16.5.5 via 10.7.0.1 dev uplink2 proto 77 metric 1 onlink"});
  EXPECT_EQ(Routes("default"), Lines{"default dev corvid0 proto 77 scope link metric 1"});
  EXPECT_TRUE(prompt_.requests.empty());
  routes->RemoveCorvidRoutes();
  EXPECT_EQ(Routes(""), system_routes);
}

TEST_F(CorvidRoutesTest, TheOperatorsOwnRouteToTheInserterServesAndStays) {
  // The kernel refuses a second route with the same destination and metric.
  ASSERT_EQ(Run("ip route add 172.16.5.5 via 10.9.0.1 dev uplink metric 1"), 0);
  const Lines system_routes = Routes("");
  auto routes = MakeDefaultRouteRoutes();

  ASSERT_TRUE(routes->ProbeCorvidAdapter());

  EXPECT_EQ(Routes("default"), Lines{"default dev corvid0 proto 77 scope link metric 1"});
  EXPECT_EQ(Routes("172.16.5.5"), Lines{"172.16.5.5 via 10.9.0.1 dev uplink metric 1"});
  EXPECT_TRUE(console_.Has("A route to 172.16.5.5 is there already: it is kept."));
  EXPECT_TRUE(prompt_.requests.empty());
  routes->RemoveCorvidRoutes();
  EXPECT_EQ(Routes(""), system_routes);
  EXPECT_TRUE(prompt_.requests.empty());
}

TEST_F(CorvidRoutesTest, DefaultRoutesKeepTheirMetricsAndTypeOfService) {
  ASSERT_EQ(Run("ip route replace default via 10.9.0.1 dev uplink metric 10 mtu 1400 advmss 1360 "
                "&& ip route add default tos 0x10 via 10.9.0.1 dev uplink metric 10"),
            0);
  const Lines system_routes = Routes("");
  ASSERT_EQ(Routes("default").size(), 2u);
  auto routes = MakeDefaultRouteRoutes();

  ASSERT_TRUE(routes->ProbeCorvidAdapter());

  EXPECT_EQ(Routes("default"), Lines{"default dev corvid0 proto 77 scope link metric 1"});
  const std::optional<std::string> saved = StateFile();
  ASSERT_TRUE(saved);
  EXPECT_NE(saved->find(" tos 16"), std::string::npos) << *saved;
  EXPECT_NE(saved->find(" metrics "), std::string::npos) << *saved;
  routes->RemoveCorvidRoutes();
  EXPECT_EQ(Routes(""), system_routes);
  EXPECT_TRUE(prompt_.requests.empty());

  ASSERT_TRUE(MakeDefaultRouteRoutes()->ProbeCorvidAdapter());  // and the process dies
  MakeRoutes()->RecoverCorvidRoutes();
  EXPECT_EQ(Routes(""), system_routes);
  EXPECT_FALSE(StateFile());
}

TEST_F(CorvidRoutesTest, ADefaultRouteThroughANextHopObjectIsNotReplaced) {
  ASSERT_EQ(Run("ip nexthop add id 5 via 10.9.0.1 dev uplink && "
                "ip route replace default nhid 5 metric 10"),
            0);
  const Lines system_routes = Routes("");
  auto routes = MakeDefaultRouteRoutes();

  EXPECT_TRUE(routes->ProbeCorvidAdapter());

  EXPECT_EQ(Routes(""), system_routes);
  EXPECT_FALSE(StateFile());
  ExpectWarningThenStop(*routes, "which cannot be saved: the default route is not replaced.",
                        "Cannot add route to interface...", system_routes);
}

TEST_F(CorvidRoutesTest, ASystemDefaultRouteThatCannotBeDeletedIsReported) {
  const Lines system_routes = Routes("");
  // Gone between the reading of the table and the delete, as when another program takes it.
  files_.at_write = [this] { Run("ip route del default via 10.9.0.1 dev uplink metric 10"); };
  auto routes = MakeDefaultRouteRoutes();

  ASSERT_TRUE(routes->ProbeCorvidAdapter());

  EXPECT_TRUE(console_.Has("Cannot delete route to 0.0.0.0"));
  ExpectWarningThenStop(*routes, "A default route of the system stays",
                        "Cannot delete the system's default route. Check route table.",
                        system_routes);
}

TEST_F(CorvidRoutesTest, RoutesThatCannotBePutBackAtTheStopStayInTheStateFile) {
  const Lines system_routes = Routes("");
  auto routes = MakeDefaultRouteRoutes();
  ASSERT_TRUE(routes->ProbeCorvidAdapter());
  ASSERT_EQ(RenameUplink("uplink", "uplink9"), 0);

  routes->RemoveCorvidRoutes();

  EXPECT_TRUE(Routes("default").empty());
  const std::optional<std::string> saved = StateFile();
  ASSERT_TRUE(saved);
  const RouteState state = ParseRouteState(*saved);
  ASSERT_EQ(state.routes.size(), 1u);
  EXPECT_EQ(state.routes[0].interface_name, "uplink");
  EXPECT_TRUE(console_.Has("Cannot restore route 0.0.0.0/0 via 10.9.0.1 dev uplink metric 10"));
  EXPECT_TRUE(console_.Has("1 routes not restored are kept in velmora.routes"));
  EXPECT_EQ(prompt_.Texts(),
            Lines{"Cannot restore the system's default route. Check route table."});

  // The next start of the service in the same process puts it back at its stop.
  ASSERT_EQ(RenameUplink("uplink9", "uplink"), 0);
  ASSERT_TRUE(routes->ProbeCorvidAdapter());
  routes->RemoveCorvidRoutes();
  EXPECT_EQ(Routes(""), system_routes);
  EXPECT_FALSE(StateFile());
}

TEST_F(CorvidRoutesTest, RoutesThatCannotBePutBackAtStartUpStayInTheStateFile) {
  const Lines system_routes = Routes("");
  ASSERT_TRUE(MakeDefaultRouteRoutes()->ProbeCorvidAdapter());  // and the process dies
  ASSERT_EQ(RenameUplink("uplink", "uplink9"), 0);

  MakeRoutes()->RecoverCorvidRoutes();

  EXPECT_TRUE(Routes("default").empty());
  ASSERT_TRUE(StateFile());
  EXPECT_EQ(ParseRouteState(*StateFile()).routes.size(), 1u);
  EXPECT_TRUE(console_.Has("1 routes not restored are kept in velmora.routes"));
  EXPECT_TRUE(prompt_.requests.empty());

  ASSERT_EQ(RenameUplink("uplink9", "uplink"), 0);
  MakeRoutes()->RecoverCorvidRoutes();
  EXPECT_EQ(Routes(""), system_routes);
  EXPECT_FALSE(StateFile());
}

// An operator who, while a box is shown, has a hook run and notes whether it could. A hook that
// could not is waited for after the box.
class HookRunningPrompt final : public OperatorPrompt {
 public:
  PromptAnswer Ask(const PromptRequest& request) override {
    texts.push_back(request.text);
    routes->DropArpEntry("192.168.254.77");
    hooks.push_back(std::async(std::launch::async, [this] { routes->WaitForHooks(); }));
    hooks_ran.push_back(hooks.back().wait_for(std::chrono::seconds(2)) ==
                        std::future_status::ready);
    return PromptAnswer::kOk;
  }

  CorvidRoutes* routes = nullptr;
  std::vector<std::string> texts;
  std::vector<bool> hooks_ran;
  std::vector<std::future<void>> hooks;
};

TEST_F(CorvidRoutesTest, BoxesAreShownWithTheRoutesFreeForTheHooks) {
  SetSubnets({{"10.5.1.0", "255.255.0.0"}});  // refused: host bits
  HookRunningPrompt prompt;
  CorvidRoutes routes(log_, prompt, files_, tables_,
                      CorvidRouteSettings{kAdapterDescription, default_route_, inserter_ip_});
  prompt.routes = &routes;

  ASSERT_TRUE(routes.ProbeCorvidAdapter());
  prompt.hooks.clear();

  EXPECT_EQ(prompt.texts, Lines{"Cannot add all routes to interface. Check route table."});
  EXPECT_EQ(prompt.hooks_ran, std::vector<bool>{true});
  routes.RemoveCorvidRoutes();
}

TEST_F(CorvidRoutesTest, ADefaultRouteThatCannotBeSavedIsNotReplaced) {
  const Lines system_routes = Routes("");
  default_route_ = 1;
  files_.set_writable(false);
  auto routes = MakeRoutes();

  EXPECT_TRUE(routes->ProbeCorvidAdapter());

  EXPECT_EQ(Routes(""), system_routes);
  ExpectWarningThenStop(*routes, "Cannot write velmora.routes: the default route is not replaced.",
                        "Cannot add route to interface...", system_routes);
}

TEST_F(CorvidRoutesTest, AStartAfterAKillPutsTheSavedDefaultRouteBack) {
  const Lines system_routes = Routes("");
  ASSERT_TRUE(MakeDefaultRouteRoutes()->ProbeCorvidAdapter());  // and the process dies
  ASSERT_NE(Routes(""), system_routes);
  files_.WriteFileAtomically(kRouteStateFile, *StateFile() + "default dev\n");

  MakeRoutes()->RecoverCorvidRoutes();

  EXPECT_EQ(Routes(""), system_routes);
  EXPECT_FALSE(StateFile());
  EXPECT_TRUE(console_.Has("had replaced the system's default route: restoring it"));
  EXPECT_TRUE(console_.Has("Route 0.0.0.0/0 via 10.9.0.1 dev uplink metric 10 restored."));
  EXPECT_TRUE(console_.Has("line 3 skipped: default dev"));

  // A default route that came back meanwhile (from a DHCP client, say) is the system's own.
  ASSERT_TRUE(MakeRoutes()->ProbeCorvidAdapter());
  ASSERT_EQ(Run("ip route add default via 10.9.0.1 dev uplink metric 50"), 0);
  MakeRoutes()->RecoverCorvidRoutes();
  EXPECT_EQ(Routes("default"), Lines{"default via 10.9.0.1 dev uplink metric 50"});
  EXPECT_TRUE(Routes("proto 77").empty());
  EXPECT_FALSE(StateFile());
}

TEST_F(CorvidRoutesTest, TheProbeFindsTheAdapterByItsAlias) {
  ASSERT_EQ(Run("ip link set corvid0 alias \"Another adapter\""), 0);
  auto routes = MakeRoutes();
  SetSubnets({{"10.1.0.0", "255.255.0.0"}});

  EXPECT_FALSE(routes->ProbeCorvidAdapter());
  EXPECT_TRUE(console_.Has("Attention!! Corvid driver is not found."));
  EXPECT_TRUE(Routes("proto 77").empty());
  EXPECT_EQ(routes->adapter_address_text(), "");

  ASSERT_EQ(Run(std::string("ip link set corvid0 alias \"") + kAdapterDescription + " #2\""), 0);
  EXPECT_TRUE(routes->ProbeCorvidAdapter());
  EXPECT_EQ(Routes("proto 77"), Lines{"10.1.0.0/16 dev corvid0 scope link metric 1"});
  routes->RemoveCorvidRoutes();
}

TEST(RouteStateFileTest, LinesWrittenBeforePathsWereKeptStillRead) {
  const RouteState state = ParseRouteState(
      "# Default routes that Velmora replaced; its next start puts them back.\n"
      "0.0.0.0/0 dev uplink gateway 10.9.0.1 metric 10 protocol 3 scope 0 type 1 table 254\n");
  ASSERT_EQ(state.routes.size(), 1u);
  EXPECT_TRUE(state.rejected.empty());
  EXPECT_EQ(state.routes[0].interface_name, "uplink");
  EXPECT_EQ(state.routes[0].row.gateway, DottedToAddress("10.9.0.1"));
  EXPECT_TRUE(state.routes[0].row.next_hops.empty());
}

TEST(RouteStateFileTest, RoutesWithSeveralPathsAreWrittenAndReadBack) {
  SavedRoute route{.row = {.metric = 5,
                           .next_hops = {{.gateway = DottedToAddress("10.9.0.1"), .weight = 1},
                                         {.gateway = DottedToAddress("10.7.0.1"),
                                          .flags = RTNH_F_ONLINK,
                                          .weight = 256}}},
                   .next_hop_interfaces = {"uplink", "odd,name"}};
  const std::string text = FormatRouteState({route});
  EXPECT_NE(text.find("nexthop 10.7.0.1,4,256,odd,name"), std::string::npos) << text;
  const RouteState state = ParseRouteState(text);
  EXPECT_EQ(state.routes, std::vector<SavedRoute>{route});
  EXPECT_TRUE(state.rejected.empty());
  EXPECT_EQ(ParseRouteState("0.0.0.0/0 nexthop 10.9.0.1,0,0,uplink\n").rejected.size(), 1u);
}

TEST(RouteStateFileTest, TypeOfServiceAndMetricsAreWrittenAndReadBack) {
  const SavedRoute route{.row = {.gateway = DottedToAddress("10.9.0.1"),
                                 .metric = 10,
                                 .tos = 0x10,
                                 .metrics = {0x08, 0x00, 0x02, 0x00, 0x78, 0x05, 0x00, 0xff}},
                         .interface_name = "uplink"};
  const std::string text = FormatRouteState({route});
  EXPECT_NE(text.find(" tos 16 metrics 08000200780500ff"), std::string::npos) << text;
  EXPECT_EQ(ParseRouteState(text).routes, std::vector<SavedRoute>{route});
  for (const char* line :
       {"0.0.0.0/0 metrics 080", "0.0.0.0/0 metrics 08g0", "0.0.0.0/0 tos 256"}) {
    EXPECT_EQ(ParseRouteState(line).rejected.size(), 1u) << line;
  }
}

}  // namespace
}  // namespace velmora
