#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "inserter_sink/pcap_writer.h"
#include "inserter_sink/pid_summary.h"
#include "inserter_sink/sink_decoder.h"
#include "packet/inserter_datagram.h"
#include "testing/udp_peer.h"
#include "testing/velmora_process.h"
#include "traffic/udp_frame.h"

namespace velmora {
namespace {

// A real IPv4/UDP frame from 10.1.1.1 to `destination` with `payload` bytes after the UDP header.
std::vector<uint8_t> Ipv4Frame(uint32_t destination, size_t payload) {
  return Ipv4UdpFrame(DottedToAddress("10.1.1.1"), destination, 9,
                      std::vector<uint8_t>(payload, 0x5a));
}

std::vector<uint8_t> Datagram(const std::vector<uint8_t>& frame, uint16_t pid, bool v6 = false) {
  std::vector<uint8_t> out;
  EXPECT_TRUE(BuildDatagram(frame, pid, v6, out));
  return out;
}

TEST(UdpFrameTest, BuildsAValidIpv4HeaderAndTheTransparentWrapping) {
  const std::vector<uint8_t> payload = {1, 2, 3};
  const std::vector<uint8_t> d = TransparentUdpDatagram(
      DottedToAddress("192.0.2.1"), DottedToAddress("10.0.0.5"), 9, 0x0123, payload);
  ASSERT_EQ(d.size(), 8u + 14 + 20 + 8 + 3);
  EXPECT_EQ(std::string(d.begin(), d.begin() + 8), std::string("\x0a\0\0\x05,\x01\x23,", 8));
  uint32_t sum = 0;
  for (size_t i = 22; i < 42; i += 2) sum += unsigned{d[i]} << 8 | d[i + 1];
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  EXPECT_EQ(sum, 0xffffu);  // a header with its checksum sums to all ones
  EXPECT_EQ(d[8 + 12], 0x08);
  EXPECT_EQ(d[8 + 39], 11);  // UDP length
  EXPECT_EQ(std::vector<uint8_t>(d.end() - 3, d.end()), payload);
}

TEST(SinkDecoderTest, DecodesWhatTheRouterBuilds) {
  const uint32_t to = DottedToAddress("10.0.0.5");
  const std::vector<uint8_t> frame = Ipv4Frame(to, 10);
  const std::vector<uint8_t> bytes = Datagram(frame, 0x0123);
  const SinkDatagram d = DecodeSinkDatagram(bytes);
  EXPECT_EQ(d.defect, SinkDefect::kNone);
  EXPECT_EQ(d.pid, 0x0123);
  EXPECT_EQ(d.qos_ip, to);
  EXPECT_EQ(d.ip_version, 4);
  EXPECT_EQ(d.source, "10.1.1.1");
  EXPECT_EQ(d.destination, "10.0.0.5");
  EXPECT_EQ(d.protocol, 17);
  EXPECT_EQ(d.ip_length, 38u);
  EXPECT_EQ(std::vector<uint8_t>(d.frame.begin(), d.frame.end()), frame);
  EXPECT_EQ(DescribeSinkDatagram(d),
            "PID 0x0123 QoS 10.0.0.5 MAC 00:00:00:00:00:00 > 00:00:00:00:00:00 IPv4 10.1.1.1 > "
            "10.0.0.5 proto 17 length 38");

  std::vector<uint8_t> v6(14 + 40 + 8, 0);
  v6[14] = 0x60;
  v6[19] = 8;  // payload length
  v6[20] = 58;
  const Ipv6Address a = *TextToIpv6("2001:db8::a:b:c:d");
  std::copy(a.begin(), a.end(), v6.begin() + 38);
  const SinkDatagram d6 = DecodeSinkDatagram(Datagram(v6, 7, true));
  EXPECT_EQ(d6.defect, SinkDefect::kNone);
  EXPECT_EQ(d6.destination, "2001:db8::a:b:c:d");
  EXPECT_EQ(d6.ip_length, 48u);
  EXPECT_EQ(d6.protocol, 58);
}

TEST(SinkDecoderTest, NamesEveryDefectWithoutReadingPastTheBytes) {
  const std::vector<uint8_t> good = Datagram(Ipv4Frame(DottedToAddress("10.0.0.5"), 10), 1);
  auto defect_of = [](std::vector<uint8_t> bytes) { return DecodeSinkDatagram(bytes).defect; };
  for (size_t n = 0; n < good.size(); ++n) {
    // Every cut is reported: the copy has exactly n bytes, so ASan sees any read beyond them.
    EXPECT_NE(defect_of({good.begin(), good.begin() + static_cast<ptrdiff_t>(n)}),
              SinkDefect::kNone)
        << n;
  }
  EXPECT_EQ(defect_of({good.begin(), good.begin() + 7}), SinkDefect::kShortHeader);
  EXPECT_EQ(defect_of({good.begin(), good.begin() + 21}), SinkDefect::kShortFrame);
  EXPECT_EQ(defect_of({good.begin(), good.begin() + 41}), SinkDefect::kTruncatedIp);
  auto bad = good;
  bad[7] = ';';
  EXPECT_EQ(defect_of(bad), SinkDefect::kBadSeparator);
  bad = good;
  bad[22] = 0x15;
  EXPECT_EQ(defect_of(bad), SinkDefect::kNotIp);
  bad = good;
  bad[0] = 11;
  EXPECT_EQ(defect_of(bad), SinkDefect::kQosIpMismatch);
  bad = good;
  bad[22] = 0x44;  // header length 4 words
  EXPECT_EQ(defect_of(bad), SinkDefect::kTruncatedIp);
  bad = good;
  bad[25] += 1;  // declares one byte more than came
  EXPECT_EQ(defect_of(bad), SinkDefect::kTruncatedIp);
}

TEST(PidSummaryTest, CountsPerPidAndMalformedPerDefect) {
  PidSummary summary;
  const std::vector<uint8_t> a = Datagram(Ipv4Frame(DottedToAddress("10.0.0.5"), 10), 0x0123);
  const std::vector<uint8_t> b = Datagram(Ipv4Frame(DottedToAddress("10.0.0.6"), 200), 0x0045);
  for (int i = 0; i < 3; ++i) summary.Add(DecodeSinkDatagram(a), a.size());
  summary.Add(DecodeSinkDatagram(b), b.size());
  summary.Add(DecodeSinkDatagram(std::vector<uint8_t>{1, 2}), 2);
  EXPECT_EQ(summary.Report(std::chrono::seconds(2)),
            "PID     datagrams        bytes   kbit/s\n"
            "0x0045          1          250      1.0\n"
            "0x0123          3          180      0.7\n"
            "total           5 datagrams, 1 malformed\n"
            "  1 shorter than the QoS header\n");
  EXPECT_NE(summary.Report(std::chrono::seconds(2)).find("0x0123          3          180      0.0"),
            std::string::npos);  // the rate is per interval
}

TEST(PcapWriterTest, WritesAClassicEthernetCapture) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("velmora_pcap_" + std::to_string(getpid()) + ".pcap");
  const std::vector<uint8_t> frame = Ipv4Frame(DottedToAddress("10.0.0.5"), 3);
  {
    PcapWriter pcap(path);
    ASSERT_TRUE(pcap.ok());
    pcap.Write(frame, std::chrono::system_clock::time_point(
                          std::chrono::microseconds(1'700'000'000'123'456)));
  }
  const std::string bytes = testing::ReadAll(path);
  ASSERT_EQ(bytes.size(), 24u + 16 + frame.size());
  const std::string header("\xd4\xc3\xb2\xa1\x02\x00\x04\x00\0\0\0\0\0\0\0\0\xff\xff\0\0\x01\0\0\0",
                           24);
  EXPECT_EQ(bytes.substr(0, 24), header);
  uint32_t record[4];
  std::memcpy(record, bytes.data() + 24, sizeof record);
  EXPECT_EQ(record[0], 1'700'000'000u);
  EXPECT_EQ(record[1], 123'456u);
  EXPECT_EQ(record[2], frame.size());
  EXPECT_EQ(record[3], frame.size());
  EXPECT_EQ(bytes.substr(40), std::string(frame.begin(), frame.end()));
  std::filesystem::remove(path);
  EXPECT_FALSE(PcapWriter("/nonexistent-folder/x.pcap").ok());
}

// The real tool: it counts what arrives, reports malformed datagrams and writes a capture that
// tcpdump reads.
TEST(InserterSinkTool, ReceivesSummarisesAndCaptures) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("velmora_sink_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const uint16_t port = testing::UdpPeer::FreePort();
  const std::string out = (dir / "sink.out").string();
  const std::string command = std::string(INSERTER_SINK_BINARY) + " --port " +
                              std::to_string(port) + " --interval 0 --count 3 --pcap " +
                              (dir / "c.pcap").string() + " > " + out + " 2>&1 &";
  ASSERT_EQ(std::system(command.c_str()), 0);
  ASSERT_TRUE(testing::WaitFor(
      [&] { return testing::ReadAll(out).find("listening on") != std::string::npos; }));
  testing::UdpPeer sender;
  const std::vector<uint8_t> a = Datagram(Ipv4Frame(DottedToAddress("10.0.0.5"), 10), 0x0123);
  sender.SendTo(port, {reinterpret_cast<const char*>(a.data()), a.size()});
  sender.SendTo(port, "x,");
  sender.SendTo(port, {reinterpret_cast<const char*>(a.data()), a.size()});
  ASSERT_TRUE(
      testing::WaitFor([&] { return testing::ReadAll(out).find("total") != std::string::npos; }));
  const std::string text = testing::ReadAll(out);
  EXPECT_NE(text.find("0x0123          2          120"), std::string::npos) << text;
  EXPECT_NE(text.find("3 datagrams, 1 malformed"), std::string::npos) << text;
  if (std::system("command -v tcpdump > /dev/null") == 0) {
    const std::string read = (dir / "read.out").string();
    ASSERT_EQ(std::system(
                  ("tcpdump -nn -r " + (dir / "c.pcap").string() + " > " + read + " 2>&1").c_str()),
              0);
    const std::string listing = testing::ReadAll(read);
    EXPECT_NE(listing.find("IP 10.1.1.1.9 > 10.0.0.5.9: UDP, length 10"), std::string::npos)
        << listing;
  } else {
    GTEST_LOG_(WARNING) << "tcpdump is not installed: the capture was checked byte by byte only";
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace velmora
