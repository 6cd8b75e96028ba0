// The tap on a veth pair in network namespaces of the test's own: the near end is the tapped
// adapter, the far end, in a second namespace, stands for the network (a real kernel there, and a
// packet socket for hand-made frames).
#include "platform/pylon_driver.h"

#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/address_text.h"
#include "platform/file_system.h"
#include "platform/neighbour_discovery.h"
#include "platform/network_links.h"
#include "tables/mac_address.h"
#include "testing/adapter_namespace.h"
#include "testing/bytes.h"
#include "testing/neighbour_frames.h"
#include "testing/tap_pair.h"

namespace velmora {
namespace {

using testing::Eventually;
using testing::FromHex;
using testing::Hex;
using testing::kAdapterAlias;

using Frame = std::vector<uint8_t>;

constexpr EthernetAddress kForeignMac{0x02, 0, 0, 0, 0, 0x99};
constexpr EthernetAddress kFarMac{0x02, 0, 0, 0, 0, 0x02};
constexpr EthernetAddress kListedMac{0x02, 0, 0, 0, 0x02, 0x99};

void Append(Frame& frame, std::span<const uint8_t> bytes) {
  frame.insert(frame.end(), bytes.begin(), bytes.end());
}

Frame EthernetHeader(const EthernetAddress& destination, uint16_t type) {
  Frame frame(destination.begin(), destination.end());
  Append(frame, kFarMac);
  frame.push_back(static_cast<uint8_t>(type >> 8));
  frame.push_back(static_cast<uint8_t>(type));
  return frame;
}

void AppendAddress(Frame& frame, const std::string& dotted) {
  const uint32_t address = DottedToAddress(dotted);
  Append(frame, {reinterpret_cast<const uint8_t*>(&address), 4});
}

// A UDP datagram to a host that is not this one, `size` bytes long with its Ethernet header and
// numbered by `mark`; cut at `size` when that is below the headers.
Frame Ipv4Frame(const std::string& source, const std::string& destination, size_t size,
                uint8_t mark = 0) {
  Frame frame = EthernetHeader(kForeignMac, 0x0800);
  const size_t packet = size > 14 ? size - 14 : 0;
  Append(frame, std::vector<uint8_t>{0x45, 0, static_cast<uint8_t>(packet >> 8),
                                     static_cast<uint8_t>(packet), 0, mark, 0, 0, 64, 17, 0, 0});
  AppendAddress(frame, source);
  AppendAddress(frame, destination);
  frame.resize(size, mark);
  return frame;
}

// A broadcast ARP request of `sender` for `target`, `size` bytes long (42 without padding).
Frame ArpRequest(const std::string& sender, const std::string& target, size_t size = 42) {
  Frame frame = EthernetHeader({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0x0806);
  Append(frame, std::vector<uint8_t>{0, 1, 8, 0, 6, 4, 0, 1});
  Append(frame, kFarMac);
  AppendAddress(frame, sender);
  Append(frame, std::vector<uint8_t>(6, 0));
  AppendAddress(frame, target);
  frame.resize(size, 0);
  return frame;
}

// A UDP datagram over IPv6 from fd00::2 to fd00::77, `size` bytes long with its headers.
Frame Ipv6Frame(size_t size) {
  Frame frame = EthernetHeader(kForeignMac, 0x86DD);
  const size_t payload = size > 54 ? size - 54 : 0;
  Append(frame, std::vector<uint8_t>{0x60, 0, 0, 0, static_cast<uint8_t>(payload >> 8),
                                     static_cast<uint8_t>(payload), 17, 64});
  Append(frame, *TextToIpv6("fd00::2"));
  Append(frame, *TextToIpv6("fd00::77"));
  frame.resize(size, 0x66);
  return frame;
}

bool IsSolicitationFor(const Frame& frame, const std::string& target) {
  const auto solicitation = ReadNeighbourSolicitation(frame);
  return solicitation && Ipv6ToText(solicitation->target) == target;
}

// The veth pair of TapPairTest with a packet socket on the far end.
class PylonDriverTest : public testing::TapPairTest {
 protected:
  void SetUp() override {
    TapPairTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    far_socket_ = OpenFarSocket();
    ASSERT_GE(far_socket_, 0);
  }
  void TearDown() override {
    driver_.PylonClose();
    if (far_socket_ >= 0) ::close(far_socket_);
    TapPairTest::TearDown();
  }

  // A packet socket on far0, made by a thread that entered the far namespace for it.
  int OpenFarSocket() const {
    int fd = -1;
    std::thread([&] {
      const int far = ::open(("/run/netns/" + far_).c_str(), O_RDONLY);
      if (far >= 0 && ::setns(far, CLONE_NEWNET) == 0) {
        fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK, htons(ETH_P_ALL));
        sockaddr_ll at{};
        at.sll_family = AF_PACKET;
        at.sll_protocol = htons(ETH_P_ALL);
        at.sll_ifindex = static_cast<int>(if_nametoindex("far0"));
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
          ::close(fd);
          fd = -1;
        }
      }
      if (far >= 0) ::close(far);
    }).join();
    return fd;
  }

  void SendFromFar(const Frame& frame) const {
    ASSERT_EQ(::send(far_socket_, frame.data(), frame.size(), 0),
              static_cast<ssize_t>(frame.size()));
  }
  // The frames the far end received meanwhile, sent by `source`.
  std::vector<Frame> ReceivedAtFar(const EthernetAddress& source) const {
    std::vector<Frame> frames;
    Frame room(65536);
    for (ssize_t got; (got = ::recv(far_socket_, room.data(), room.size(), 0)) > 0;) {
      if (got >= 14 && std::equal(source.begin(), source.end(), room.begin() + 6)) {
        frames.emplace_back(room.begin(), room.begin() + got);
      }
    }
    return frames;
  }

  int Open(int32_t ipv6_adapter = 0, const std::string& multicast_nic = "10.20.0.1") {
    return driver_.PylonOpen(
        {.multicast_interface_address = DottedToAddress(multicast_nic),
         .ipv6_adapter = ipv6_adapter,
         .report = [this](std::string_view line) { reports_.emplace_back(line); },
         .files = &files_});
  }
  void OpenWithEvents() {
    ASSERT_GE(Open(), 0);
    ASSERT_TRUE(driver_.PylonSetPortEvent(port_event_));
    ASSERT_TRUE(driver_.PylonSetArpEvent(arp_event_));
    ASSERT_TRUE(driver_.PylonSetIpv6Event(ipv6_event_));
  }

  using Getter = bool (PylonDriver::*)(std::span<uint8_t>, uint32_t&);
  // Every frame of a kind that arrives within 300 ms.
  std::vector<Frame> Collect(Getter get) {
    std::vector<Frame> frames;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < end) TakeInto(get, frames);
    return frames;
  }
  void TakeInto(Getter get, std::vector<Frame>& frames) {
    Frame room(kPylonFrameRoom);
    uint32_t length = 0;
    while ((driver_.*get)(room, length)) frames.emplace_back(room.begin(), room.begin() + length);
  }
  uint32_t Received(PylonFrameKind kind) {
    const auto counts = driver_.PylonCounts(kind);
    EXPECT_TRUE(counts);
    return counts ? counts->received : 0;
  }

  int far_socket_ = -1;
  PylonDriver driver_{kAdapterAlias};
  DriverEvent port_event_;
  DriverEvent arp_event_;
  DriverEvent ipv6_event_;
  std::vector<std::string> reports_;
  MemoryFileSystem files_;
};

TEST_F(PylonDriverTest, OpensOnlyOnAnEthernetAdapterThatHoldsTheAddress) {
  ASSERT_EQ(Run("ip tuntap add dev corvid0 mode tap && ip link set corvid0 alias \"" +
                std::string(kAdapterAlias) +
                "\" && ip addr add 10.30.0.1/24 dev corvid0 && ip tuntap add dev tun0 mode tun && "
                "ip addr add 10.40.0.1/24 dev tun0"),
            0);
  const auto open_on = [&](const std::string& address) {
    return driver_.PylonOpen({.multicast_interface_address = DottedToAddress(address)});
  };
  EXPECT_EQ(open_on("10.99.0.1"), -1);  // held by no interface
  EXPECT_EQ(open_on("127.0.0.1"), -1);  // loopback
  EXPECT_EQ(open_on("10.30.0.1"), -1);  // the virtual adapter
  EXPECT_EQ(open_on("10.40.0.1"), -1);  // not Ethernet
  EXPECT_EQ(driver_.handle(), -1);
  EXPECT_FALSE(driver_.PylonSetPortEvent(port_event_));
  EXPECT_FALSE(driver_.PylonCounts(PylonFrameKind::kPort));
  const int handle = open_on("10.20.0.1");
  EXPECT_GE(handle, 0);
  EXPECT_EQ(driver_.handle(), handle);
}

TEST_F(PylonDriverTest, FramesArriveOnTheCaptureOfTheirKind) {
  ASSERT_NO_FATAL_FAILURE(OpenWithEvents());
  EXPECT_FALSE(port_event_.Ready());
  const Frame ipv4 = Ipv4Frame("10.20.0.2", "10.20.0.50", 100, 1);
  const Frame arp = ArpRequest("10.20.0.2", "10.20.0.50");
  const Frame ipv6 = Ipv6Frame(120);
  SendFromFar(ipv4);
  SendFromFar(arp);
  SendFromFar(ipv6);
  EXPECT_TRUE(Eventually([&] { return port_event_.Ready() && arp_event_.Ready(); }));
  EXPECT_TRUE(ipv6_event_.Ready());
  const std::vector<Frame> ipv4_frames = Collect(&PylonDriver::PylonGetPortFrame);
  ASSERT_EQ(ipv4_frames.size(), 1u);
  EXPECT_EQ(Hex(ipv4_frames[0]), Hex(ipv4));
  const std::vector<Frame> arp_frames = Collect(&PylonDriver::PylonGetArpFrame);
  ASSERT_EQ(arp_frames.size(), 1u);
  EXPECT_EQ(Hex(arp_frames[0]), Hex(arp));
  const std::vector<Frame> ipv6_frames = Collect(&PylonDriver::PylonGetIpv6Frame);
  ASSERT_EQ(ipv6_frames.size(), 1u);
  EXPECT_EQ(Hex(ipv6_frames[0]), Hex(ipv6));
  EXPECT_FALSE(port_event_.Ready());
}

TEST_F(PylonDriverTest, OutgoingAndInjectedFramesAreNotCaptured) {
  ASSERT_NO_FATAL_FAILURE(OpenWithEvents());
  ASSERT_EQ(Run("ip neigh add 10.20.0.77 lladdr 02:00:00:00:00:77 dev tap0 nud permanent && "
                "ip -6 neigh add fd00::77 lladdr 02:00:00:00:00:77 dev tap0 nud permanent && "
                "ping -c 2 -i 0.2 -W 1 10.20.0.77 >/dev/null; ping -6 -c 2 -i 0.2 -W 1 fd00::77 "
                ">/dev/null; true"),
            0);
  Frame injected = Ipv4Frame("10.20.0.9", "10.20.0.2", 90, 7);
  const EthernetAddress near_source{0x02, 0, 0, 0, 0, 0x55};
  std::copy(near_source.begin(), near_source.end(), injected.begin() + 6);
  EXPECT_TRUE(driver_.PylonPutPortFrame(injected));
  EXPECT_TRUE(driver_.PylonPutPortFrame(ArpRequest("10.20.0.9", "10.20.0.88")));
  EXPECT_TRUE(Collect(&PylonDriver::PylonGetPortFrame).empty());
  EXPECT_TRUE(Collect(&PylonDriver::PylonGetArpFrame).empty());
  EXPECT_TRUE(Collect(&PylonDriver::PylonGetIpv6Frame).empty());
  EXPECT_EQ(Received(PylonFrameKind::kPort), 0u);
  EXPECT_EQ(Received(PylonFrameKind::kArp), 0u);
  EXPECT_EQ(Received(PylonFrameKind::kIpv6), 0u);
  const std::vector<Frame> at_far = ReceivedAtFar(near_source);
  ASSERT_EQ(at_far.size(), 1u);
  EXPECT_EQ(Hex(at_far[0]), Hex(injected));
}

TEST_F(PylonDriverTest, AddressFiltersAndShortFramesAreRefusedInTheKernel) {
  ASSERT_NO_FATAL_FAILURE(OpenWithEvents());
  driver_.PylonSetFilter(0, DottedToAddress("10.20.0.1"));
  driver_.PylonSetFilter(5, DottedToAddress("10.20.0.9"));  // beyond the four of the page
  ASSERT_TRUE(driver_.PylonApplyFilters());
  for (uint8_t i = 0; i < 3; ++i) {
    SendFromFar(Ipv4Frame("10.20.0.2", "10.20.0.1", 80, i));
    SendFromFar(Ipv4Frame("10.20.0.2", "10.20.0.9", 80, i));
  }
  SendFromFar(Ipv4Frame("10.20.0.2", "10.20.0.50", 80, 1));
  SendFromFar(Ipv4Frame("10.20.0.2", "10.20.0.50", 37, 2));
  SendFromFar(Ipv4Frame("10.20.0.2", "10.20.0.50", 38, 3));
  SendFromFar(ArpRequest("10.20.0.2", "10.20.0.1"));
  SendFromFar(ArpRequest("10.20.0.2", "10.20.0.50", 41));
  SendFromFar(Ipv6Frame(53));
  const std::vector<Frame> ipv4 = Collect(&PylonDriver::PylonGetPortFrame);
  ASSERT_EQ(ipv4.size(), 2u);
  EXPECT_EQ(ipv4[0].size(), 80u);
  EXPECT_EQ(ipv4[1].size(), 38u);
  EXPECT_TRUE(Collect(&PylonDriver::PylonGetArpFrame).empty());
  EXPECT_TRUE(Collect(&PylonDriver::PylonGetIpv6Frame).empty());
  EXPECT_EQ(Received(PylonFrameKind::kPort), 2u);
  EXPECT_EQ(Received(PylonFrameKind::kArp), 0u);
  EXPECT_EQ(Received(PylonFrameKind::kIpv6), 0u);

  driver_.PylonSetFilter(5, 0);
  ASSERT_TRUE(driver_.PylonApplyFilters());
  SendFromFar(Ipv4Frame("10.20.0.2", "10.20.0.9", 80, 4));
  EXPECT_EQ(Collect(&PylonDriver::PylonGetPortFrame).size(), 1u);
}

TEST_F(PylonDriverTest, SourceFiltersAdmitOnlyListedHosts) {
  ASSERT_NO_FATAL_FAILURE(OpenWithEvents());
  driver_.PylonSetSrcFilter(0, DottedToAddress("10.20.0.2"));
  driver_.PylonSetSrcFilter(1, DottedToAddress("10.20.0.3"));
  driver_.PylonSetSrcFilter(2, 0);
  ASSERT_TRUE(driver_.PylonApplyFilters());
  for (const char* source : {"10.20.0.2", "10.20.0.3", "10.20.0.4"}) {
    SendFromFar(Ipv4Frame(source, "10.20.0.50", 100));
    SendFromFar(ArpRequest(source, "10.20.0.50"));
  }
  SendFromFar(Ipv6Frame(100));
  const std::vector<Frame> ipv4 = Collect(&PylonDriver::PylonGetPortFrame);
  ASSERT_EQ(ipv4.size(), 2u);
  EXPECT_EQ(ipv4[0][29], 2);  // the last byte of the source address
  EXPECT_EQ(ipv4[1][29], 3);
  EXPECT_EQ(Collect(&PylonDriver::PylonGetArpFrame).size(), 2u);
  EXPECT_EQ(Collect(&PylonDriver::PylonGetIpv6Frame).size(), 1u);
  EXPECT_EQ(Received(PylonFrameKind::kPort), 2u);
  EXPECT_EQ(Received(PylonFrameKind::kArp), 2u);
}

TEST_F(PylonDriverTest, FiltersChangeAndFramesGoOutWhileAThreadTakesFrames) {
  ASSERT_NO_FATAL_FAILURE(OpenWithEvents());
  std::atomic<bool> running{true};
  std::atomic<int> taken{0};
  std::thread reader([&] {
    Frame room(kPylonFrameRoom);
    uint32_t length = 0;
    while (running) {
      port_event_.Wait();
      while (driver_.PylonGetPortFrame(room, length)) ++taken;
    }
  });
  for (uint8_t i = 0; i < 20; ++i) {
    SendFromFar(Ipv4Frame("10.20.0.2", "10.20.0.50", 100, i));
    driver_.PylonSetSrcFilter(0, i % 2 == 0 ? 0 : DottedToAddress("10.20.0.2"));
    EXPECT_TRUE(driver_.PylonApplyFilters());
    EXPECT_TRUE(driver_.PylonPutPortFrame(Ipv4Frame("10.20.0.9", "10.20.0.2", 60, i)));
  }
  EXPECT_TRUE(Eventually([&] { return taken == 20; }));
  running = false;
  port_event_.Signal();
  reader.join();
}

TEST_F(PylonDriverTest, FramesLongerThanTheRoomAreReportedByTheirLength) {
  ASSERT_EQ(Run("ip link set tap0 mtu 20000"), 0);
  ASSERT_EQ(Far("ip link set far0 mtu 20000"), 0);
  ASSERT_NO_FATAL_FAILURE(OpenWithEvents());
  const Frame long_frame = Ipv4Frame("10.20.0.2", "10.20.0.50", 17000, 9);
  SendFromFar(long_frame);
  Frame room(kPylonFrameRoom);
  uint32_t length = 0;
  ASSERT_TRUE(Eventually([&] { return driver_.PylonGetPortFrame(room, length); }));
  EXPECT_EQ(length, 17000u);
  EXPECT_EQ(Hex(room), Hex(std::span(long_frame).first(kPylonFrameRoom)));
}

TEST_F(PylonDriverTest, AdapterListIsTheNamespacesEthernetInterfacesInIndexOrder) {
  ASSERT_EQ(Run("ip tuntap add dev corvid0 mode tap && ip link set corvid0 alias \"" +
                std::string(kAdapterAlias) +
                "\" && ip tuntap add dev tun0 mode tun && ip link add v1 type veth peer name v2 && "
                "ip link set v1 up && ip link set v2 up"),
            0);
  ASSERT_GE(Open(1), 0);
  ASSERT_EQ(driver_.PylonGetAdapterCount(), 3u);
  const auto sysfs = [&](const std::string& name, const std::string& file) {
    return namespace_->Output("cat /sys/class/net/" + name + "/" + file);
  };
  std::vector<std::string> names = {"tap0", "v1", "v2"};
  std::sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
    return std::stoi(sysfs(a, "ifindex")) < std::stoi(sysfs(b, "ifindex"));
  });
  for (int32_t i = 0; i < 3; ++i) {
    ASSERT_TRUE(driver_.PylonSelectAdapter(i));
    EXPECT_EQ(driver_.PylonGetAdapterName(), names[i]);
    const std::string mac = sysfs(names[i], "address").substr(0, 17);
    EXPECT_EQ(Hex(driver_.PylonGetMacAddress()), Hex(ParseMac(mac).value()));
  }
  // Another thread that selected nothing acts on `Ipv6Adapter`'s adapter.
  std::string other;
  std::thread([&] { other = driver_.PylonGetAdapterName(); }).join();
  EXPECT_EQ(other, names[1]);
  EXPECT_EQ(driver_.PylonGetAdapterName(), names[2]);
  EXPECT_FALSE(driver_.PylonSelectAdapter(3));
  EXPECT_FALSE(driver_.PylonSelectAdapter(-1));
  EXPECT_EQ(driver_.PylonGetAdapterName(), names[1]);
}

TEST_F(PylonDriverTest, AnOutOfRangeIpv6AdapterSelectsNothing) {
  ASSERT_GE(Open(4), 0);
  EXPECT_EQ(driver_.PylonGetAdapterName(), "");
  EXPECT_EQ(Hex(driver_.PylonGetMacAddress()), "000000000000");
  EXPECT_FALSE(driver_.PylonAddIpv6Address(*TextToIpv6("fd00::99"), kListedMac));
}

TEST_F(PylonDriverTest, AClosedTapListsNoAddress) {
  ASSERT_GE(Open(0), 0);
  EXPECT_TRUE(driver_.PylonAddIpv6Address(*TextToIpv6("fd00::99"), kListedMac));
  driver_.PylonClose();
  // Nothing would answer for it: the caller must hear that it was not taken.
  EXPECT_FALSE(driver_.PylonAddIpv6Address(*TextToIpv6("fd00::99"), kListedMac));
}

TEST_F(PylonDriverTest, SolicitationsForListedAddressesAreAnsweredAndNotDelivered) {
  ASSERT_NO_FATAL_FAILURE(TurnOnFarIpv6());
  ASSERT_NO_FATAL_FAILURE(OpenWithEvents());
  EXPECT_TRUE(driver_.PylonAddIpv6Address(*TextToIpv6("fd00::99"), kListedMac));
  EXPECT_FALSE(driver_.PylonAddIpv6Address(*TextToIpv6("fd00::1"), kListedMac));  // own
  EXPECT_FALSE(driver_.PylonAddIpv6Address(*TextToIpv6("ff02::1"), kListedMac));
  const auto ping_from_far = [&] {
    std::vector<Frame> frames;
    auto ping = std::async(std::launch::async,
                           [&] { return Far("ping -6 -c 1 -W 1 fd00::99 >/dev/null"); });
    while (ping.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
      TakeInto(&PylonDriver::PylonGetIpv6Frame, frames);
    }
    return frames;
  };
  std::vector<Frame> delivered = ping_from_far();
  EXPECT_NE(FarOutput("ip -6 neigh show fd00::99 dev far0").find("02:00:00:00:02:99"),
            std::string::npos);
  EXPECT_TRUE(std::none_of(delivered.begin(), delivered.end(),
                           [](const Frame& f) { return IsSolicitationFor(f, "fd00::99"); }));
  // The echo request that followed came to the listed MAC, and so to the tap.
  EXPECT_TRUE(std::any_of(delivered.begin(), delivered.end(),
                          [](const Frame& f) { return f.size() > 54 && f[54] == 128; }));

  driver_.PylonResetIpv6Addresses();
  ASSERT_EQ(Far("ip -6 neigh flush dev far0"), 0);
  delivered = ping_from_far();
  EXPECT_TRUE(std::any_of(delivered.begin(), delivered.end(),
                          [](const Frame& f) { return IsSolicitationFor(f, "fd00::99"); }));
  EXPECT_EQ(FarOutput("ip -6 neigh show fd00::99 dev far0").find("02:00:00:00:02:99"),
            std::string::npos);
}

TEST_F(PylonDriverTest, TheHostsOwnAddressesAreNeverAnswered) {
  ASSERT_NO_FATAL_FAILURE(TurnOnFarIpv6());
  ASSERT_NO_FATAL_FAILURE(OpenWithEvents());
  ASSERT_TRUE(driver_.PylonAddIpv6Address(*TextToIpv6("fd00::5"), kListedMac));
  ASSERT_EQ(Run("ip -6 addr add fd00::5/64 dev tap0 nodad"), 0);
  auto ping =
      std::async(std::launch::async, [&] { return Far("ping -6 -c 1 -W 1 fd00::5 >/dev/null"); });
  std::vector<Frame> delivered;
  while (ping.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
    TakeInto(&PylonDriver::PylonGetIpv6Frame, delivered);
  }
  EXPECT_EQ(ping.get(), 0);  // the kernel answered for its own address
  EXPECT_TRUE(std::any_of(delivered.begin(), delivered.end(),
                          [](const Frame& f) { return IsSolicitationFor(f, "fd00::5"); }));
  EXPECT_TRUE(ReceivedAtFar(kListedMac).empty());
}

TEST_F(PylonDriverTest, AStreamOfSolicitationsIsAnsweredInRoundsThatEnd) {
  ASSERT_NO_FATAL_FAILURE(OpenWithEvents());
  ASSERT_TRUE(driver_.PylonAddIpv6Address(*TextToIpv6("fd00::99"), kListedMac));
  const Frame solicitation = FromHex(testing::kSolicitation);
  for (int i = 0; i < 100; ++i) SendFromFar(solicitation);
  ASSERT_TRUE(Eventually([&] { return Received(PylonFrameKind::kIpv6) == 100; }));
  Frame room(kPylonFrameRoom);
  uint32_t length = 0;
  // A caller waiting for its stop gets the word back after a round, not after the stream.
  EXPECT_FALSE(driver_.PylonGetIpv6Frame(room, length));
  EXPECT_TRUE(Eventually([&] { return ReceivedAtFar(kListedMac).size() == 64; }));
  EXPECT_FALSE(driver_.PylonGetIpv6Frame(room, length));
  EXPECT_TRUE(Eventually([&] { return ReceivedAtFar(kListedMac).size() == 36; }));
}

TEST_F(PylonDriverTest, VlanTaggedFramesAreNotTakenForTheirInnerKind) {
  ASSERT_NO_FATAL_FAILURE(OpenWithEvents());
  Frame tagged = Ipv4Frame("10.20.0.2", "10.20.0.50", 100, 1);
  const std::vector<uint8_t> tag = {0x81, 0x00, 0x00, 0x05};
  tagged.insert(tagged.begin() + 12, tag.begin(), tag.end());
  SendFromFar(tagged);
  SendFromFar(Ipv4Frame("10.20.0.2", "10.20.0.50", 100, 2));
  const std::vector<Frame> taken = Collect(&PylonDriver::PylonGetPortFrame);
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(Hex(taken[0]), Hex(Ipv4Frame("10.20.0.2", "10.20.0.50", 100, 2)));
}

TEST_F(PylonDriverTest, ACaptureWhoseInterfaceDisappearsIsOpenedAgainWhenItIsBack) {
  int back = 0;
  ASSERT_GE(
      driver_.PylonOpen({.multicast_interface_address = DottedToAddress("10.20.0.1"),
                         .report = [this](std::string_view line) { reports_.emplace_back(line); },
                         .files = &files_,
                         .tapped_interface_back = [&back] { ++back; }}),
      0);
  ASSERT_TRUE(driver_.PylonSetPortEvent(port_event_));
  for (uint8_t i = 0; i < 3; ++i) SendFromFar(Ipv4Frame("10.20.0.2", "10.20.0.50", 100, i));
  EXPECT_EQ(Collect(&PylonDriver::PylonGetPortFrame).size(), 3u);

  ::close(far_socket_);
  ASSERT_EQ(Run("ip link del tap0"), 0);
  ASSERT_TRUE(Eventually([&] { return port_event_.Ready(); }));
  EXPECT_TRUE(Collect(&PylonDriver::PylonGetPortFrame).empty());
  EXPECT_NE(std::find(reports_.begin(), reports_.end(),
                      "Pylon. Capture of IPv4 frames on tap0 lost: The interface disappeared. It "
                      "is opened again when tap0 is back.\n"),
            reports_.end());

  // The new tap0 comes with GRO on, as a device plugged in again would.
  ASSERT_EQ(Run("ip link add tap0 type veth peer name far0 netns " + far_ +
                " && ip link set tap0 up && ethtool -K tap0 gro on"),
            0);
  ASSERT_EQ(Far("ip link set far0 up"), 0);
  far_socket_ = OpenFarSocket();
  ASSERT_GE(far_socket_, 0);
  // The event wakes the reader every second meanwhile, and its next take opens the capture.
  port_event_.Wait();
  ASSERT_TRUE(Eventually([&] {
    Frame room(kPylonFrameRoom);
    uint32_t length = 0;
    driver_.PylonGetPortFrame(room, length);
    return std::find(reports_.begin(), reports_.end(),
                     "Pylon. Capture of IPv4 frames on tap0 opened again.\n") != reports_.end();
  }));
  EXPECT_EQ(back, 1);
  EXPECT_EQ(namespace_->Output("ethtool -k tap0 | grep generic-receive"),
            "generic-receive-offload: off\n");
  EXPECT_EQ(files_.ReadFile(kMergingStateFile), "tap0 GRO\n");
  // Kept from child processes, as the first capture was.
  EXPECT_NE(::fcntl(driver_.handle(), F_GETFD) & FD_CLOEXEC, 0);
  for (uint8_t i = 3; i < 5; ++i) SendFromFar(Ipv4Frame("10.20.0.2", "10.20.0.50", 100, i));
  ASSERT_TRUE(Eventually([&] { return port_event_.Ready(); }));
  const std::vector<Frame> taken = Collect(&PylonDriver::PylonGetPortFrame);
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(Hex(taken[1]), Hex(Ipv4Frame("10.20.0.2", "10.20.0.50", 100, 4)));
  EXPECT_EQ(Received(PylonFrameKind::kPort), 5u);
}

TEST_F(PylonDriverTest, MergingIsOffWhileTappingOnEveryInterfaceThatFeedsTheTappedOne) {
  const auto gro = [&](const std::string& name) {
    return namespace_->Output("ethtool -k " + name + " | grep generic-receive");
  };
  const std::string on = "generic-receive-offload: on\n";
  const std::string off = "generic-receive-offload: off\n";
  // A bridge with a veth port: frames arrive on v1 first, where GRO would merge them.
  ASSERT_EQ(Run("ip link add br0 type bridge && ip link add v1 type veth peer name v2 && ip link "
                "set v1 master br0 && ip addr add 10.31.0.1/24 dev br0 && ip link set br0 up && "
                "ip link set v1 up && for d in br0 v1 v2 tap0; do ethtool -K $d gro on; done"),
            0);
  const std::vector<NetworkLink> links = ListNetworkLinks().value_or(std::vector<NetworkLink>{});
  const auto link = [&](const std::string& name) {
    return *std::find_if(links.begin(), links.end(),
                         [&](const NetworkLink& l) { return l.name == name; });
  };
  EXPECT_EQ(link("br0").kind, "bridge");
  EXPECT_EQ(link("v1").master, link("br0").index);
  EXPECT_EQ(link("v1").parent, link("v2").index);
  EXPECT_EQ(link("tap0").parent, 0u);   // its peer is in another namespace
  ASSERT_GE(Open(99, "10.31.0.1"), 0);  // IPv6 on br0 too
  EXPECT_EQ(gro("br0") + gro("v1") + gro("v2") + gro("tap0"), off + off + on + on);
  EXPECT_EQ(files_.ReadFile(kMergingStateFile), "br0 GRO\nv1 GRO\n");
  driver_.PylonClose();
  EXPECT_EQ(gro("br0") + gro("v1"), on + on);
  EXPECT_EQ(files_.ReadFile(kMergingStateFile), std::nullopt);
  EXPECT_EQ(reports_,
            (std::vector<std::string>{"Pylon. GRO on br0 turned off while it is tapped.\n",
                                      "Pylon. GRO on v1 turned off while it is tapped.\n",
                                      "Pylon. GRO on br0 turned on again.\n",
                                      "Pylon. GRO on v1 turned on again.\n"}));
}

TEST_F(PylonDriverTest, OffloadsLeftOffByARunThatDidNotStopAreTurnedOnAtTheNextStart) {
  const auto gro = [&] { return namespace_->Output("ethtool -k tap0 | grep generic-receive"); };
  ASSERT_EQ(Run("ethtool -K tap0 gro on"), 0);
  ASSERT_GE(Open(), 0);
  ASSERT_EQ(gro(), "generic-receive-offload: off\n");
  // A killed run never closes: its record is all the next start has.
  const std::string record = files_.ReadFile(kMergingStateFile).value_or("");
  EXPECT_EQ(record, "tap0 GRO\n");
  MemoryFileSystem next_start;
  next_start.WriteFileAtomically(kMergingStateFile, record + "gone0 LRO\nnonsense\nlo LRO\n");
  std::vector<std::string> lines;
  RestoreRecordedMerging(next_start, kMergingStateFile,
                         [&](std::string_view line) { lines.emplace_back(line); });
  EXPECT_EQ(gro(), "generic-receive-offload: on\n");
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Pylon. GRO on tap0 turned on again, left off by a run that did not stop.\n",
                       "Pylon. LRO on gone0 left as it is: the interface is not there.\n",
                       "Pylon. velmora.offloads: line skipped: nonsense\n",
                       "Pylon. Cannot turn on LRO on lo again: Operation not supported.\n"}));
  // What refused to be turned on waits for the start after.
  EXPECT_EQ(next_start.ReadFile(kMergingStateFile), "lo LRO\n");
}

}  // namespace
}  // namespace velmora
