#include <arpa/inet.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bouncer/link_config.h"
#include "bouncer/link_relay.h"
#include "inserter_sink/sink_decoder.h"
#include "platform/address_text.h"
#include "testing/network_namespace.h"
#include "testing/tool_process.h"
#include "testing/udp_peer.h"
#include "testing/velmora_process.h"

namespace velmora {
namespace {

BouncerLinks LinksOf(const std::string& text) {
  MemoryFileSystem files;
  stdini ini(files);
  ini.Parse(text);
  return ReadBouncerLinks(ini);
}

constexpr char kPlainLink[] = "receive_port=5000\nDestinationIP=127.0.0.1\nDestinationPort=5001\n";

TEST(BouncerLinksTest, OnlyListedLinksWhoseActiveIsExactlyTrueAreRead) {
  const BouncerLinks read = LinksOf(std::string("[main]\nlinks=1,2,4\n") + "[1]\nactive=true\n" +
                                    kPlainLink + "[2]\nactive=True\n" + kPlainLink +
                                    "[3]\nactive=true\n" + kPlainLink + "[4]\n" + kPlainLink);
  ASSERT_EQ(read.links.size(), 1u);
  EXPECT_TRUE(read.problems.empty());
  const BouncerLink& link = read.links[0];
  EXPECT_EQ(link.number, 1);
  EXPECT_EQ(link.receive_bind_ip, 0u);
  EXPECT_EQ(link.receive_port, 5000);
  EXPECT_FALSE(link.receive_multicast_ip);
  EXPECT_EQ(link.destination_ip, DottedToAddress("127.0.0.1"));
  EXPECT_EQ(link.destination_port, 5001);
  EXPECT_FALSE(link.add_qos_headers);
}

TEST(BouncerLinksTest, AddressesReadAsTheRouterReadsThem) {
  const BouncerLinks read = LinksOf(
      "[main]\nlinks=1\n[1]\nactive=true\nreceive_port=5000\nreceive_bind_ip=127.1\n"
      "DestinationIP=10.0.0\nDestinationPort=5001\n");
  ASSERT_EQ(read.links.size(), 1u) << read.problems[0];
  EXPECT_EQ(read.links[0].receive_bind_ip, DottedToAddress("127.0.0.1"));
  EXPECT_EQ(read.links[0].destination_ip, DottedToAddress("10.0.0.0"));
  EXPECT_EQ(LinksOf("[main]\nlinks=1\n[1]\nactive=true\nreceive_port=5000\n"
                    "DestinationIP=255.255.255.255\nDestinationPort=5001\n")
                .links.size(),
            1u);
}

TEST(BouncerLinksTest, QoSKeysGiveTheInserterWrapping) {
  const BouncerLinks read = LinksOf(
      "[main]\nlinks=7\n[7]\nactive=true\nreceive_port=6000\nreceive_bind_ip=127.0.0.1\n"
      "receive_multicast_ip=239.1.2.3\nDestinationIP=10.0.0.5\nDestinationPort=7000\n"
      "AddQoSHeaders=1\nDestinationMACAddress=00-11-22-33-44-55\nStreamPid=288\n"
      "send_protocol=UDP\nsend_unicast_ip=127.0.0.1\nsend_port=8000\n");
  ASSERT_EQ(read.links.size(), 1u) << read.problems[0];
  const BouncerLink& link = read.links[0];
  EXPECT_EQ(link.receive_bind_ip, DottedToAddress("127.0.0.1"));
  EXPECT_EQ(link.receive_multicast_ip, DottedToAddress("239.1.2.3"));
  EXPECT_TRUE(link.add_qos_headers);
  EXPECT_EQ(link.destination_mac, (MacAddress{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}));
  EXPECT_EQ(link.stream_pid, 288);
  EXPECT_EQ(link.send_ip, DottedToAddress("127.0.0.1"));
  EXPECT_EQ(link.send_port, 8000);
}

TEST(BouncerLinksTest, ALinkWithAMissingOrBadKeyIsNamedAndTheOthersAreRead) {
  const std::string qos =
      "AddQoSHeaders=1\nDestinationMACAddress=00-11-22-33-44-55\nStreamPid=288\n"
      "send_protocol=UDP\nsend_unicast_ip=127.0.0.1\nsend_port=8000\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"receive_port=5000\nDestinationIP=127.0.0.1\n", "link 2: DestinationPort is missing"},
      {"receive_port=0\nDestinationIP=127.0.0.1\nDestinationPort=1\n",
       "link 2: receive_port \"0\" is not a number from 1 to 65535"},
      {"receive_port=5000x\nDestinationIP=127.0.0.1\nDestinationPort=1\n",
       "link 2: receive_port \"5000x\" is not a number from 1 to 65535"},
      {"receive_port=5\nDestinationIP=10.0.0.256\nDestinationPort=1\n",
       "link 2: DestinationIP \"10.0.0.256\" is not an IPv4 address"},
      {std::string(kPlainLink) + "receive_multicast_ip=10.0.0.1\n",
       "link 2: receive_multicast_ip is not a multicast group"},
      {std::string(kPlainLink) + "AddQoSHeaders=yes\n",
       "link 2: AddQoSHeaders \"yes\" is neither 0 nor 1"},
      {std::string(kPlainLink) + "AddQoSHeaders=1\nDestinationMACAddress=00-11\nStreamPid=1\n"
                                 "send_protocol=UDP\nsend_unicast_ip=127.0.0.1\nsend_port=8000\n",
       "link 2: DestinationMACAddress \"00-11\" is not a MAC address"},
      {std::string(kPlainLink) + qos + "[2]\nsend_protocol=TCP\n",
       "link 2: send_protocol is not \"UDP\""},
      {std::string(kPlainLink) + qos + "[2]\nStreamPid=70000\n",
       "link 2: StreamPid \"70000\" is not a number from 0 to 65535"},
  };
  for (const auto& [keys, problem] : cases) {
    const BouncerLinks read = LinksOf(std::string("[main]\nlinks=1,2\n[1]\nactive=true\n") +
                                      kPlainLink + "[2]\nactive=true\n" + keys);
    EXPECT_EQ(read.links.size(), 1u) << keys;
    ASSERT_EQ(read.problems.size(), 1u) << keys;
    EXPECT_EQ(read.problems[0], problem);
  }
}

BouncerLink QosLink() {
  BouncerLink link;
  link.number = 1;
  link.destination_ip = DottedToAddress("10.0.0.5");
  link.destination_port = 7000;
  link.add_qos_headers = true;
  link.destination_mac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  link.stream_pid = 0x0120;
  return link;
}

// The one's-complement sum of `bytes` folded to 16 bits.
unsigned FoldedSum(const uint8_t* bytes, size_t size, uint32_t sum = 0) {
  for (size_t i = 0; i + 1 < size; i += 2) sum += unsigned{bytes[i]} << 8 | bytes[i + 1];
  if (size % 2 != 0) sum += unsigned{bytes[size - 1]} << 8;
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return sum;
}

TEST(BouncerWrapTest, BuildsAnInserterDatagramWithValidLengthsAndChecksums) {
  const std::vector<uint8_t> payload = {1, 2, 3, 4, 5};
  std::vector<uint8_t> out;
  ASSERT_TRUE(WrapForInserter(QosLink(), DottedToAddress("192.0.2.9"), 4321, 7, payload, out));
  const SinkDatagram d = DecodeSinkDatagram(out);
  EXPECT_EQ(d.defect, SinkDefect::kNone);
  EXPECT_EQ(d.pid, 0x0120);
  EXPECT_EQ(d.qos_ip, DottedToAddress("10.0.0.5"));
  EXPECT_EQ(d.source, "192.0.2.9");
  EXPECT_EQ(d.destination, "10.0.0.5");
  EXPECT_EQ(d.protocol, 17);
  EXPECT_EQ(d.ip_length, 20u + 8 + payload.size());
  EXPECT_NE(DescribeSinkDatagram(d).find("MAC 00:00:00:00:00:00 > 00:11:22:33:44:55"),
            std::string::npos)
      << DescribeSinkDatagram(d);
  const uint8_t* ip = out.data() + 22;
  EXPECT_GT(ip[8], 0);  // a time to live
  EXPECT_EQ(FoldedSum(ip, 20), 0xffffu);
  const uint8_t* udp = ip + 20;
  EXPECT_EQ(unsigned{udp[0]} << 8 | udp[1], 4321u);
  EXPECT_EQ(unsigned{udp[2]} << 8 | udp[3], 7000u);
  EXPECT_EQ(unsigned{udp[4]} << 8 | udp[5], 8u + payload.size());
  const uint32_t pseudo = FoldedSum(ip + 12, 8) + 17 + 8 + static_cast<uint32_t>(payload.size());
  EXPECT_EQ(FoldedSum(udp, 8 + payload.size(), pseudo), 0xffffu);
  EXPECT_EQ(std::vector<uint8_t>(out.end() - 5, out.end()), payload);
}

TEST(BouncerWrapTest, APayloadIsDroppedRatherThanCutBeyond4096Bytes) {
  std::vector<uint8_t> out;
  const std::vector<uint8_t> fits(kMaxInserterDatagram - kWrappingSize, 0xab);
  ASSERT_TRUE(WrapForInserter(QosLink(), 0, 1, 0, fits, out));
  EXPECT_EQ(out.size(), 4096u);
  const std::vector<uint8_t> too_long(fits.size() + 1, 0xab);
  EXPECT_FALSE(WrapForInserter(QosLink(), 0, 1, 0, too_long, out));
  EXPECT_TRUE(out.empty());
}

// A multicast datagram sent to 239.1.2.3 on an interface whose address is 10.9.0.1, in a namespace
// of the test's own; the relay joined the group with `receive_bind_ip` as its interface.
std::string RelayedFromGroup(uint32_t receive_bind_ip) {
  testing::UdpPeer receiver;
  BouncerLink link;
  link.number = 1;
  link.receive_bind_ip = receive_bind_ip;
  link.receive_port = testing::UdpPeer::FreePort();
  link.receive_multicast_ip = DottedToAddress("239.1.2.3");
  link.destination_ip = DottedToAddress("127.0.0.1");
  link.destination_port = receiver.port();
  std::string problem;
  const auto relay = LinkRelay::Open(
      link, [](const std::string&) {}, problem);
  if (!relay) return problem;
  std::thread running([&relay] { relay->Run(); });
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  const in_addr interface = {DottedToAddress("10.9.0.1")};
  ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof interface);
  const sockaddr_in group = SocketAddress(*link.receive_multicast_ip, link.receive_port);
  receiver.set_timeout(std::chrono::milliseconds(200));
  std::string received = "<nothing>";
  for (int i = 0; i < 10 && received == "<nothing>"; ++i) {
    ::sendto(fd, "group", 5, 0, reinterpret_cast<const sockaddr*>(&group), sizeof group);
    received = receiver.Next();
  }
  ::close(fd);
  relay->Stop();
  running.join();
  return received;
}

TEST(BouncerRelayTest, AGroupIsReceivedWithAndWithoutABindAddress) {
  if (const std::string why = testing::NetworkNamespace::Unavailable(); !why.empty()) {
    GTEST_SKIP() << why;
  }
  testing::NetworkNamespace ns;
  ASSERT_TRUE(ns.entered());
  ASSERT_EQ(
      ns.Run(
          "ip link add m0 type veth peer name m1 && ip link set m1 up && "
          "ip link set m0 up && ip addr add 10.9.0.1/24 dev m0 && ip route add 224.0.0.0/4 dev m0"),
      0);
  EXPECT_EQ(RelayedFromGroup(DottedToAddress("10.9.0.1")), "group");
  EXPECT_EQ(RelayedFromGroup(0), "group");
}

// A real bouncer in a folder of its own, with the bouncer.ini a test gives. Owned by the test's
// thread; ended and its folder removed when it goes.
class BouncerRun {
 public:
  explicit BouncerRun(const std::string& ini) : dir_(testing::RouterFolder("bouncer_run")) {
    std::ofstream(dir_ / "bouncer.ini") << ini;
    pid_ = testing::Spawn(dir_, {BOUNCER_BINARY}, "bouncer.out");
  }
  ~BouncerRun() {
    if (pid_ > 0) Stop();
    std::filesystem::remove_all(dir_);
  }
  bool WaitForLog(const std::string& text) const {
    return testing::WaitFor([&] { return Log().find(text) != std::string::npos; });
  }
  int Stop() {
    kill(pid_, SIGTERM);
    const int status = testing::Wait(pid_);
    pid_ = -1;
    return status;
  }
  std::string Log() const { return testing::ReadAll(dir_ / "bouncer.out"); }

 private:
  std::filesystem::path dir_;
  pid_t pid_ = -1;
};

std::string Numbered(int i, size_t size) {
  std::string payload = std::to_string(i) + ":";
  payload.resize(size, static_cast<char>('a' + i % 26));
  return payload;
}

TEST(BouncerProcessTest, RepeatsPlainAndWrappedStreamsSkipsABusyPortAndEndsOnSigterm) {
  testing::UdpPeer plain_receiver;
  testing::UdpPeer inserter;
  testing::UdpPeer busy;  // holds the port of link 3
  testing::UdpPeer sender;
  const uint16_t plain_port = testing::UdpPeer::FreePort();
  const uint16_t qos_port = testing::UdpPeer::FreePort();
  const std::string p = std::to_string(plain_port), q = std::to_string(qos_port);
  BouncerRun bouncer(
      "[main]\nlinks=1,2,3\n"
      "[1]\nactive=true\nreceive_bind_ip=127.0.0.1\nreceive_port=" +
      p + "\nDestinationIP=127.0.0.1\nDestinationPort=" + std::to_string(plain_receiver.port()) +
      "\n[2]\nactive=true\nreceive_bind_ip=127.0.0.1\nreceive_port=" + q +
      "\nDestinationIP=10.0.0.5\nDestinationPort=7000\nAddQoSHeaders=1\n"
      "DestinationMACAddress=00-11-22-33-44-55\nStreamPid=288\nsend_protocol=UDP\n"
      "send_unicast_ip=127.0.0.1\nsend_port=" +
      std::to_string(inserter.port()) +
      "\n[3]\nactive=true\nreceive_bind_ip=127.0.0.1\nreceive_port=" + std::to_string(busy.port()) +
      "\nDestinationIP=127.0.0.1\nDestinationPort=9\n");
  ASSERT_TRUE(bouncer.WaitForLog("started with 2 link(s)")) << bouncer.Log();
  EXPECT_NE(bouncer.Log().find("link 3: cannot receive on 127.0.0.1:" +
                               std::to_string(busy.port()) + ": Address already in use"),
            std::string::npos)
      << bouncer.Log();

  for (int i = 0; i < 20; ++i) {
    sender.SendTo(plain_port, Numbered(i, 100));
    EXPECT_EQ(plain_receiver.Next(), Numbered(i, 100));
    sender.SendTo(qos_port, Numbered(i, 1400));
    const std::string got = inserter.Next();
    const SinkDatagram d =
        DecodeSinkDatagram(std::span(reinterpret_cast<const uint8_t*>(got.data()), got.size()));
    EXPECT_EQ(d.defect, SinkDefect::kNone);
    EXPECT_EQ(d.pid, 288);
    EXPECT_EQ(d.source, "127.0.0.1");
    EXPECT_EQ(got.substr(8 + 14 + 28), Numbered(i, 1400));
  }
  // A burst longer than one receive batch keeps its order.
  plain_receiver.WidenReceiveBuffer();
  for (int i = 0; i < 200; ++i) sender.SendTo(plain_port, Numbered(i, 100 + i));
  for (int i = 0; i < 200; ++i) ASSERT_EQ(plain_receiver.Next(), Numbered(i, 100 + i));
  sender.SendTo(qos_port, std::string(kMaxInserterDatagram - kWrappingSize + 1, 'x'));
  ASSERT_TRUE(bouncer.WaitForLog("link 2: a payload of more than 4046 bytes from 127.0.0.1:"));
  EXPECT_NE(bouncer.Log().find("does not fit an inserter datagram of 4096 bytes: dropped"),
            std::string::npos);
  inserter.set_timeout(std::chrono::milliseconds(200));
  EXPECT_EQ(inserter.Next(), "<nothing>");

  EXPECT_EQ(bouncer.Stop(), 0);
  EXPECT_NE(bouncer.Log().find(": 220 repeated, 0 dropped\n"), std::string::npos) << bouncer.Log();
  EXPECT_NE(bouncer.Log().find(": 20 repeated, 1 dropped\n"), std::string::npos) << bouncer.Log();
  EXPECT_NE(bouncer.Log().find("bouncer: ended\n"), std::string::npos);
}

TEST(BouncerProcessTest, AnUnreadableFileEndsItWithAMessage) {
  const auto dir = testing::RouterFolder("bouncer_no_file");
  const pid_t pid = testing::Spawn(dir, {BOUNCER_BINARY}, "bouncer.out");
  EXPECT_EQ(testing::Wait(pid), 1);
  EXPECT_EQ(testing::ReadAll(dir / "bouncer.out"), "bouncer: cannot read bouncer.ini\n");
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace velmora
