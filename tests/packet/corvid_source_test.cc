#include "packet/corvid_source.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "packet/adapter_routes.h"
#include "packet/inserter_datagram.h"
#include "packet/output_queue.h"
#include "packet/sending_thread.h"
#include "platform/address_text.h"
#include "platform/corvid_driver.h"
#include "platform/network_links.h"
#include "testing/bytes.h"
#include "testing/corvid_frames.h"
#include "testing/network_namespace.h"
#include "testing/packet_path_rig.h"
#include "testing/udp_peer.h"

namespace velmora {
namespace {

using testing::Hex;
using testing::NetworkNamespace;

constexpr const char* kAdapterAlias = "Tessaro Corvid Emulation Driver.";
constexpr auto kPatience = std::chrono::seconds(5);

template <typename Condition>
bool Eventually(const Condition& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// A UDP socket of the namespace that sends into the adapter's subnets with don't-fragment off,
// as the hosts that route through the adapter do.
class RoutedSender {
 public:
  RoutedSender() : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
    const int discovery = IP_PMTUDISC_DONT;
    EXPECT_EQ(::setsockopt(fd_, IPPROTO_IP, IP_MTU_DISCOVER, &discovery, sizeof discovery), 0);
  }
  ~RoutedSender() { ::close(fd_); }
  void Send(const std::string& destination, uint16_t port, const std::string& bytes) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = DottedToAddress(destination);
    EXPECT_EQ(
        ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
        static_cast<ssize_t>(bytes.size()));
  }

 private:
  int fd_;
};

// A namespace of the test's own with the virtual adapter installed by its script, and a route
// of the subnet 10.1.0.0/16 through it once Route is called.
class AdapterNamespaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string why = NetworkNamespace::Unavailable(); !why.empty()) GTEST_SKIP() << why;
    ns_ = std::make_unique<NetworkNamespace>();
    ASSERT_TRUE(ns_->entered());
    ASSERT_EQ(Run(std::string(CORVID_ADAPTER_SCRIPT) + " add >/dev/null"), 0);
    // Made here, inside the namespace: what it sends stays there.
    sender_ = std::make_unique<RoutedSender>();
  }
  void TearDown() override { sender_.reset(); }
  int Run(const std::string& command) const { return ns_->Run(command); }
  // One ARP request per address, without the kernel's retries, so that the frames are counted.
  void AskOnce() { ASSERT_EQ(Run("echo 1 > /proc/sys/net/ipv4/neigh/corvid0/mcast_solicit"), 0); }
  MacAddress AdapterMac() const {
    MacAddress mac{};
    for (const NetworkLink& link : ListNetworkLinks().value_or(std::vector<NetworkLink>{})) {
      if (link.name == "corvid0" && link.hardware_address.size() == 6) {
        std::copy_n(link.hardware_address.begin(), 6, mac.begin());
      }
    }
    return mac;
  }

  std::unique_ptr<NetworkNamespace> ns_;
  std::unique_ptr<RoutedSender> sender_;
};

// --- The driver on a real TAP device.

class CorvidDriverTest : public AdapterNamespaceTest {
 protected:
  void SetUp() override {
    AdapterNamespaceTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_GE(driver_.CorvidOpen(kAdapterAlias), 0);
    ASSERT_TRUE(driver_.CorvidSetFrameEvent(frame_event_));
    ASSERT_TRUE(driver_.CorvidSetArpEvent(arp_event_));
    AskOnce();
    ASSERT_EQ(Run("ip route add 10.1.0.0/16 dev corvid0 && ip neigh replace 10.1.0.7 lladdr "
                  "02:00:00:00:00:07 dev corvid0 nud permanent"),
              0);
  }
  // Reads frames until `count` IPv4 frames came; their destinations' last bytes.
  std::vector<uint8_t> ReadIpv4Frames(size_t count) {
    std::vector<uint8_t> last_bytes;
    Eventually([&] {
      if (frame_event_.Ready() && driver_.CorvidGetFrames(batch_) > 0) {
        for (size_t i = 0; i < batch_.size(); ++i) last_bytes.push_back(batch_.frame(i)[33]);
      }
      return last_bytes.size() >= count;
    });
    return last_bytes;
  }

  CorvidDriver driver_;
  DriverEvent frame_event_;
  DriverEvent arp_event_;
  FrameBatch batch_{kQosHeaderSize};
};

TEST(CorvidDriverAbsentTest, OpenFindsNoAdapterAndCreatesNone) {
  if (const std::string why = NetworkNamespace::Unavailable(); !why.empty()) GTEST_SKIP() << why;
  NetworkNamespace ns;
  ASSERT_TRUE(ns.entered());
  CorvidDriver driver;
  EXPECT_EQ(driver.CorvidOpen(kAdapterAlias), -1);
  // A device with the alias that is not a TAP, and a TAP without the alias, are not the adapter.
  ASSERT_EQ(
      ns.Run(
          std::string(
              "ip link add corvid0 type veth peer name corvidp && ip link set corvid0 alias \"") +
          kAdapterAlias + "\" && ip tuntap add dev corvid1 mode tap"),
      0);
  EXPECT_EQ(driver.CorvidOpen(kAdapterAlias), -1);
  EXPECT_EQ(ns.Run("ip -d link show corvid0 | grep -q veth"), 0);
  EXPECT_EQ(driver.handle(), -1);
  DriverEvent event;
  EXPECT_FALSE(driver.CorvidSetFrameEvent(event));
}

TEST_F(CorvidDriverTest, ArpFramesAreQueuedApartFromIpv4Frames) {
  sender_->Send("10.1.0.5", 5000, "who is .5");
  sender_->Send("10.1.0.6", 5000, "who is .6");
  for (int i = 0; i < 3; ++i) sender_->Send("10.1.0.7", 5000, "to .7");
  EXPECT_EQ(ReadIpv4Frames(3), std::vector<uint8_t>({7, 7, 7}));
  // Both requests were read before the frames that followed them; each is taken once, and the
  // event stays signalled while one waits.
  std::array<uint8_t, 16384> arp{};
  uint32_t length = 0;
  for (const uint8_t target : {5, 6}) {
    ASSERT_TRUE(arp_event_.Ready());
    arp_event_.Wait();
    ASSERT_TRUE(driver_.CorvidGetArp(arp, length));
    ASSERT_EQ(length, 42u);
    EXPECT_EQ(Hex(std::span(arp).subspan(12, 2)), "0806");
    EXPECT_EQ(arp[41], target);
  }
  EXPECT_FALSE(arp_event_.Ready());
  EXPECT_FALSE(driver_.CorvidGetArp(arp, length));
  EXPECT_FALSE(frame_event_.Ready());
}

TEST_F(CorvidDriverTest, TheFrameEventStaysSignalledWhileFramesWait) {
  for (int i = 0; i < 3; ++i) sender_->Send("10.1.0.7", 5000, "to .7");
  std::vector<uint8_t> buffer(FrameBatch::kFrameRoom);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(Eventually([&] { return frame_event_.Ready(); }));
    frame_event_.Wait();
    uint32_t length = 0;
    ASSERT_TRUE(Eventually([&] { return driver_.CorvidGetFrame(buffer, length); }));
    EXPECT_EQ(length, 14u + 20 + 8 + 5);
  }
  EXPECT_FALSE(frame_event_.Ready());
}

TEST_F(CorvidDriverTest, TheArpQueueIsBoundedAndCountsWhatItDrops) {
  constexpr int kRequests = CorvidDriver::kArpQueueLimit + 44;
  for (int i = 0; i < kRequests; ++i) {
    sender_->Send("10.1." + std::to_string(1 + i / 200) + "." + std::to_string(i % 200), 5000, "?");
  }
  sender_->Send("10.1.0.7", 5000, "marker");
  EXPECT_EQ(ReadIpv4Frames(1), std::vector<uint8_t>{7});
  EXPECT_EQ(driver_.arp_drops(), 44u);
  std::array<uint8_t, 64> arp{};
  uint32_t length = 0;
  size_t taken = 0;
  while (driver_.CorvidGetArp(arp, length)) ++taken;
  EXPECT_EQ(taken, CorvidDriver::kArpQueueLimit);
}

TEST_F(CorvidDriverTest, ASignalWakesAWaitWithNothingToRead) {
  auto frame_wait = std::async(std::launch::async, [this] { frame_event_.Wait(); });
  auto arp_wait = std::async(std::launch::async, [this] { arp_event_.Wait(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  arp_event_.Signal();
  frame_event_.Signal();
  EXPECT_EQ(frame_wait.wait_for(kPatience), std::future_status::ready);
  EXPECT_EQ(arp_wait.wait_for(kPatience), std::future_status::ready);
  EXPECT_FALSE(frame_event_.Ready());
}

TEST_F(CorvidDriverTest, CloseDetachesAndLeavesThePersistentAdapter) {
  driver_.CorvidClose();
  EXPECT_EQ(driver_.handle(), -1);
  EXPECT_EQ(Run("ip link show corvid0 >/dev/null"), 0);
  EXPECT_GE(driver_.CorvidOpen(kAdapterAlias), 0);
}

// --- The source: its two threads between the adapter and a real UDP receiver for the inserter.

// Route management as far as these tests need it: the subnet's route through the adapter.
class SubnetRoute : public AdapterRoutes {
 public:
  explicit SubnetRoute(const NetworkNamespace& ns) : ns_(ns) {}
  bool ProbeCorvidAdapter() override {
    ++probes;
    return found && ns_.Run("ip route add 10.1.0.0/16 dev corvid0") == 0;
  }
  void RemoveCorvidRoutes() override {
    ++removals;
    ns_.Run("ip route del 10.1.0.0/16 dev corvid0 2>/dev/null");
  }
  bool found = true;
  std::atomic<int> probes{0};
  std::atomic<int> removals{0};

 private:
  const NetworkNamespace& ns_;
};

class CorvidSourceTest : public AdapterNamespaceTest {
 protected:
  void SetUp() override {
    AdapterNamespaceTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    rig_.running = 0;
    rig_.log.Configure({.level = 3});
    rig_.tables.Publish(testing::SubnetWithOneRow());
    inserter_ = std::make_unique<testing::UdpPeer>();
    routes_ = std::make_unique<SubnetRoute>(*ns_);
    source_ = std::make_unique<CorvidSource>(
        rig_.path, *routes_, CorvidSource::Settings{enable_, inserter_ip_, kAdapterAlias},
        rig_.clock);
    sending_ = std::make_unique<SendingThread>(
        rig_.queue, rig_.log, RealClock(), rig_.running,
        [port = inserter_->port()] {
          return InserterAddress{DottedToAddress("127.0.0.1"), port};
        },
        [] { return true; });
  }
  void TearDown() override {
    Stop();
    sending_.reset();
    source_.reset();
    inserter_.reset();
    AdapterNamespaceTest::TearDown();
  }
  void Start() {
    rig_.running = 1;
    source_->OpenDriver();
    sending_->Launch();
    source_->Launch();
  }
  // As the service stop: the flag, the wake-ups, then the closing and joining.
  void Stop() {
    if (!source_ || rig_.running == 0) return;
    rig_.running = 0;
    source_->Wake();
    sending_->Wake();
    source_->Close();
    sending_->Join();
    source_->Join();
  }
  // The datagram expected at the inserter for `payload` sent to 10.1.0.5:`port`, from its QoS
  // header to the UDP ports; the identification and checksum, which the kernel chooses, are
  // taken from what arrived.
  std::string Expected(const std::string& arrived, const std::string& mac, uint16_t port,
                       const std::string& payload) {
    const MacAddress adapter = AdapterMac();
    std::string expected = "0a0100052c01232c" + mac + Hex(adapter) + "0800";
    const size_t total = 20 + 8 + payload.size();
    char header[64];
    std::snprintf(header, sizeof header, "4500%04zx", total);
    expected += header + arrived.substr(16 + 28 + 8, 4) + "0000" + "4011";
    expected += arrived.substr(16 + 28 + 20, 4) + "c0a8fe01" + "0a010005";
    expected += arrived.substr(16 + 28 + 40, 4);  // the source port the system chose
    std::snprintf(header, sizeof header, "%04x%04zx", port, 8 + payload.size());
    expected += header + arrived.substr(16 + 28 + 52, 4);
    return expected + Hex(testing::AsBytes(payload));
  }
  std::string Next() { return Hex(testing::AsBytes(inserter_->Next())); }

  testing::PacketPathRig rig_;
  SharedNumber<int32_t> enable_{1};
  SharedNumber<uint32_t> inserter_ip_{DottedToAddress("127.0.0.1")};
  std::unique_ptr<testing::UdpPeer> inserter_;
  std::unique_ptr<SubnetRoute> routes_;
  std::unique_ptr<CorvidSource> source_;
  std::unique_ptr<SendingThread> sending_;
};

TEST_F(CorvidSourceTest, TheKernelsArpRequestIsAnsweredAndTheDatagramReachesTheInserter) {
  Start();
  ASSERT_TRUE(source_->open());
  const std::string payload = "routed into the subnet";
  sender_->Send("10.1.0.5", 5000, payload);
  const std::string arrived = Next();
  EXPECT_EQ(arrived, Expected(arrived, "001122334455", 5000, payload));
  EXPECT_EQ(Run("ip neigh show 10.1.0.5 dev corvid0 | grep -q 00:11:22:33:44:55"), 0);
  EXPECT_GE(rig_.counters.arp_requests, 1u);
  EXPECT_GE(rig_.counters.arp_answers, 1u);
  EXPECT_EQ(rig_.counters.unicast_packets, 1u);
  EXPECT_EQ(rig_.counters.resolved_packets, 1u);
  EXPECT_EQ(rig_.counters.unicast_frames, 1u);
  EXPECT_EQ(rig_.counters.unicast_bytes, 8u + payload.size());
  EXPECT_TRUE(rig_.counters.routed_active);
  EXPECT_TRUE(rig_.console.Has("Arp. Resolved. IPsrc=10.1.0.5, IPdst=192.168.254.1"));
  EXPECT_TRUE(rig_.console.Has("Corvid. --------------------------"));
  const auto stats = rig_.statistics.Address(DottedToAddress("10.1.0.5"));
  ASSERT_TRUE(stats);
  EXPECT_EQ(stats->bytes, 8u + payload.size());
}

TEST_F(CorvidSourceTest, OnADabChannelTheFixedMacAnswers) {
  rig_.settings.dvb = false;
  Start();
  sender_->Send("10.1.0.5", 5000, "dab");
  const std::string arrived = Next();
  EXPECT_EQ(arrived, Expected(arrived, "0009b80b0200", 5000, "dab"));
  EXPECT_EQ(Run("ip neigh show 10.1.0.5 dev corvid0 | grep -q 00:09:b8:0b:02:00"), 0);
}

TEST_F(CorvidSourceTest, LowPortsAreFilteredAndHostsWithoutRowUnanswered) {
  rig_.log.Configure({.level = 2});
  Start();
  sender_->Send("10.1.0.6", 5000, "nobody");
  sender_->Send("10.1.0.5", 53, "low port");
  sender_->Send("10.1.0.5", 256, "port 256");
  const std::string arrived = Next();
  EXPECT_EQ(arrived, Expected(arrived, "001122334455", 256, "port 256"));
  EXPECT_TRUE(Eventually([&] {
    return rig_.console.Has("Arp. Not found destination IP. IPsrc=192.168.254.1, IPdst=10.1.0.6");
  }));
  EXPECT_EQ(rig_.counters.unicast_packets, 1u);
}

TEST_F(CorvidSourceTest, FramesTooLongAreLoggedAndDroppedWhole) {
  rig_.log.Configure({.level = 1});
  ASSERT_EQ(Run("ip link set corvid0 mtu 20000"), 0);
  Start();
  sender_->Send("10.1.0.5", 5000, "first");
  Next();
  sender_->Send("10.1.0.5", 5000, std::string(17000, 'x'));
  sender_->Send("10.1.0.5", 5000, std::string(5000, 'y'));
  sender_->Send("10.1.0.5", 5000, "after");
  const std::string arrived = Next();
  EXPECT_EQ(arrived, Expected(arrived, "001122334455", 5000, "after"));
  EXPECT_TRUE(rig_.console.Has("Corvid. Frame of 17042 bytes longer than 16384 bytes dropped."));
  EXPECT_TRUE(rig_.console.Has(
      "Corvid. 5042-byte frame; 1 frame(s) longer than an output queue slot dropped."));
  EXPECT_EQ(rig_.counters.bad_packets, 1u);
}

TEST_F(CorvidSourceTest, TheStopEndsTheThreadsClosesTheDriverAndRemovesTheRoutes) {
  Start();
  sender_->Send("10.1.0.5", 5000, "one");
  Next();
  Stop();
  EXPECT_EQ(source_->driver().handle(), -1);
  EXPECT_EQ(routes_->removals, 1);
  EXPECT_NE(Run("ip route show 10.1.0.0/16 | grep -q corvid0"), 0);
  // The next start finds everything as it was.
  Start();
  sender_->Send("10.1.0.5", 5000, "two");
  const std::string arrived = Next();
  EXPECT_EQ(arrived, Expected(arrived, "001122334455", 5000, "two"));
}

TEST_F(CorvidSourceTest, AnAbsentAdapterIsReportedAndNothingRuns) {
  ASSERT_EQ(Run(std::string(CORVID_ADAPTER_SCRIPT) + " remove >/dev/null"), 0);
  Start();
  EXPECT_FALSE(source_->open());
  EXPECT_TRUE(
      rig_.console.Has("Cannot find \"Tessaro Corvid Emulation Driver\" on this system. Check "
                       "if this driver installed and active."));
  EXPECT_EQ(routes_->probes, 0);
  Stop();
  EXPECT_EQ(routes_->removals, 0);
}

TEST_F(CorvidSourceTest, AFailedProbeDisablesTheSource) {
  routes_->found = false;
  Start();
  EXPECT_FALSE(source_->open());
  EXPECT_TRUE(rig_.console.Has("Cannot properly set \"Tessaro Corvid Emulation Driver\". "));
  EXPECT_TRUE(rig_.console.Has("Corvid driver is disable."));
  Stop();
  EXPECT_EQ(source_->driver().handle(), -1);
}

}  // namespace
}  // namespace velmora
