#include "stats/traffic_statistics.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/address_text.h"
#include "platform/file_system.h"
#include "support/log.h"

namespace velmora {
namespace {

using std::chrono::milliseconds;

uint32_t Ip(const char* text) {
  return DottedToAddress(text);
}

// 7 December 2026 10:00:00 local time.
const LocalFileTime kStart = *ParseLocalFileTime("07.12.2026", "10:00:00");

class TrafficStatisticsTest : public ::testing::Test {
 protected:
  void Ticks(int count) {
    for (int i = 0; i < count; ++i) {
      clock_.Advance(milliseconds(2000));
      stats_.Tick();
    }
  }
  std::string File(const char* name = "stat.log") {
    return files_.ReadFile(name).value_or("<none>");
  }

  SimulatedClock clock_;
  MemoryFileSystem files_;
  Log log_;
  TrafficStatistics stats_{files_, clock_, log_, kStart};
};

// A batch to many addresses, repeated and interleaved over the shards, counts each packet once,
// whatever the order it takes the shards in.
TEST_F(TrafficStatisticsTest, ABatchCountsEveryPacketOfEveryAddress) {
  stats_.SetFile("stat.log");
  std::vector<TrafficStatistics::Packet> batch;
  for (uint32_t round = 0; round < 4; ++round) {
    for (uint32_t host = 1; host <= 16; ++host)
      batch.push_back({Ip("10.0.0.0") + (host << 24), host});
  }
  stats_.CountPackets(batch);
  stats_.CountPackets({});
  for (uint32_t host = 1; host <= 16; ++host) {
    const AddressStatistics r = *stats_.Address(Ip("10.0.0.0") + (host << 24));
    EXPECT_EQ(r.packets, 4u);
    EXPECT_EQ(r.bytes, 4u * host);
    EXPECT_EQ(r.started, kStart);
  }
  EXPECT_EQ(stats_.Addresses().size(), 16u);
}

TEST_F(TrafficStatisticsTest, RatesOverTicksAreExactIntegers) {
  stats_.SetFile("stat.log");
  stats_.CountPacket(Ip("10.0.0.1"), 1000);
  clock_.Advance(milliseconds(1000));
  stats_.CountPacket(Ip("10.0.0.1"), 1000);
  clock_.Advance(milliseconds(1000));
  stats_.Tick();
  const AddressStatistics r = *stats_.Address(Ip("10.0.0.1"));
  EXPECT_EQ(r.packets, 2u);
  EXPECT_EQ(r.bytes, 2000u);
  EXPECT_EQ(r.current_rate, 7u);          // 2000 / 256
  EXPECT_EQ(r.average_rate, 7u);          // 2000 * 1000 / 2000 ms / 128
  EXPECT_EQ(r.active_average_rate, 15u);  // 2000 * 1000 / 1000 ms / 128
  EXPECT_EQ(r.maximum_rate, 7u);
  EXPECT_EQ(r.started, kStart);
  EXPECT_EQ(r.ended, kStart + 1000 * kFileTimeTicksPerMs);
  const StatisticsSummary s = stats_.Summary();
  EXPECT_EQ(s.current_bandwidth, 7u);
  EXPECT_EQ(s.average_bandwidth, 7u);
  Ticks(1);
  EXPECT_EQ(stats_.Address(Ip("10.0.0.1"))->current_rate, 0u);
  EXPECT_EQ(stats_.Address(Ip("10.0.0.1"))->maximum_rate, 7u);
  EXPECT_EQ(stats_.Address(Ip("10.0.0.1"))->average_rate, 3u);  // 2000000 / 4000 / 128
}

TEST_F(TrafficStatisticsTest, TheFileIsWrittenEvery31stTickAndReadsBack) {
  stats_.SetFile("stat.log");
  EXPECT_EQ(File(), "<none>");  // nothing to switch away from
  stats_.CountPacket(Ip("10.0.0.2"), 512);
  stats_.CountPacket(Ip("10.0.0.1"), 1024);
  Ticks(30);
  EXPECT_EQ(File(), "<none>");
  Ticks(1);
  EXPECT_EQ(File(),
            "<Destination IP><Packets><Bytes><SUMBCUR><SUMBAVR><SUMBMAX><BWDCUR><BWDAVR>"
            "<BWDAVRACT><BWDMAX><Started><Ended>\r\n"
            "10.0.0.1 1 1024 0 0 6 0 0 0 4 07.12.2026 10:00:00 07.12.2026 10:00:00\r\n"
            "10.0.0.2 1 512 0 0 6 0 0 0 2 07.12.2026 10:00:00 07.12.2026 10:00:00\r\n");
  EXPECT_EQ(stats_.Summary().current_active, 2u);

  TrafficStatistics again(files_, clock_, log_, kStart);
  again.SetFile("stat.log");
  ASSERT_EQ(again.Addresses().size(), 2u);
  const AddressStatistics r = *again.Address(Ip("10.0.0.1"));
  EXPECT_EQ(r.packets, 1u);
  EXPECT_EQ(r.bytes, 1024u);
  EXPECT_EQ(r.started, kStart);
  EXPECT_EQ(r.ended, kStart);
  again.CountPacket(Ip("10.0.0.1"), 100);  // counting goes on from the file's figures
  EXPECT_EQ(again.Address(Ip("10.0.0.1"))->bytes, 1124u);
}

TEST_F(TrafficStatisticsTest, FileOrderIsByTheLastOctetFirst) {
  stats_.SetFile("stat.log");
  stats_.CountPacket(Ip("10.0.0.2"), 1);
  stats_.CountPacket(Ip("11.0.0.1"), 1);
  const auto all = stats_.Addresses();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].first, Ip("11.0.0.1"));
}

TEST_F(TrafficStatisticsTest, TheAddressListInBothForms) {
  stats_.SetFile("stat.log");
  stats_.CountPacket(Ip("10.0.0.2"), 1);
  stats_.CountPacket(Ip("10.0.0.1"), 1);
  const auto has_row = [](uint32_t address) { return address == Ip("10.0.0.2"); };
  EXPECT_EQ(stats_.ListAddresses(has_row, true),
            "*** Velmora *** - IP statistic list: \r\nIP count: 2\r\n"
            "IP: 10.0.0.1 0\r\nIP: 10.0.0.2 1\r\n");
  EXPECT_EQ(stats_.ListAddresses(has_row, false), "2\r\n10.0.0.1 0\r\n10.0.0.2 1\r\n");
}

TEST_F(TrafficStatisticsTest, BadFilesKeepTheirReadableLines) {
  files_.WriteFileAtomically(
      "stat.log",
      "<Destination IP><Packets>\r\n"
      "; a comment\r\n"
      "10.0.0.1 5 500 1 2 3 4 07.12.2026 09:00:00 07.12.2026 09:30:00\r\n"
      "10.0.0.2 x 500 1 2 3 4 5 6 07.12.2026 09:00:00 07.12.2026 09:30:00\r\n"
      "garbage line\r\n"
      "\x01\x02\xff\r\n"
      "10.0.0.3 7 4294967396 1 2 3 4 5 6 7 8 9 99.99.2026 09:00:00 07.12.26 09:30:00\r\n"
      "10.0.0.4 1 2 3");  // cut short
  stats_.SetFile("stat.log");
  const auto all = stats_.Addresses();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(stats_.Address(Ip("10.0.0.1"))->bytes, 500u);
  EXPECT_EQ(stats_.Address(Ip("10.0.0.1"))->started, *ParseLocalFileTime("07.12.2026", "09:00:00"));
  const AddressStatistics old_layout = *stats_.Address(Ip("10.0.0.3"));
  EXPECT_EQ(old_layout.bytes, 4294967396u);
  EXPECT_EQ(old_layout.started, 0);  // a time that does not parse
  EXPECT_EQ(old_layout.ended, *ParseLocalFileTime("07.12.2026", "09:30:00"));  // year 26: 2026
}

TEST_F(TrafficStatisticsTest, ResetsAndStoppedStatistics) {
  stats_.CountPacket(Ip("10.0.0.1"), 100);  // not enabled: nothing
  EXPECT_TRUE(stats_.Addresses().empty());
  stats_.SetFile("stat.log");
  stats_.CountPacket(Ip("10.0.0.1"), 100);
  stats_.CountPacket(Ip("10.0.0.2"), 100);
  stats_.ResetAddress(Ip("10.0.0.1"));
  stats_.WriteFile();
  EXPECT_EQ(File().find("10.0.0.1 "), std::string::npos);
  EXPECT_NE(File().find("10.0.0.2 "), std::string::npos);
  stats_.ResetAll();
  EXPECT_EQ(stats_.Address(Ip("10.0.0.2"))->packets, 0u);
  EXPECT_EQ(stats_.Summary().total_bytes, 0u);
  stats_.SetFile("");  // writes and stops
  stats_.CountPacket(Ip("10.0.0.3"), 100);
  EXPECT_TRUE(stats_.Addresses().empty());
  EXPECT_EQ(stats_.active_file(), "");
}

TEST_F(TrafficStatisticsTest, SwitchingFilesWritesTheOldAndLoadsTheNew) {
  files_.WriteFileAtomically(
      "other.log", "10.9.9.9 3 300 0 0 0 0 0 0 0 07.12.2026 08:00:00 07.12.2026 08:10:00\r\n");
  stats_.SetFile("stat<date>.log");
  EXPECT_EQ(stats_.active_file(), "stat2026-12-07.log");
  stats_.CountPacket(Ip("10.0.0.1"), 100);
  stats_.SetFile("stat<date>.log");  // the same name: nothing happens
  EXPECT_EQ(File("stat2026-12-07.log"), "<none>");
  stats_.SetFile("other.log");
  EXPECT_NE(File("stat2026-12-07.log").find("10.0.0.1 1 100 "), std::string::npos);
  ASSERT_EQ(stats_.Addresses().size(), 1u);
  EXPECT_EQ(stats_.Address(Ip("10.9.9.9"))->packets, 3u);
}

TEST_F(TrafficStatisticsTest, CountingFromSeveralThreadsWhileTicking) {
  stats_.SetFile("stat.log");
  constexpr int kThreads = 4, kPackets = 5000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kPackets; ++i) {
        stats_.CountPacket(Ip("10.0.0.0") + static_cast<uint32_t>((i % 64) << 24), 10 + t);
      }
    });
  }
  for (int i = 0; i < 40; ++i) {
    stats_.Tick();
    clock_.Advance(milliseconds(2000));
  }
  for (std::thread& thread : threads) thread.join();
  uint64_t packets = 0, bytes = 0;
  for (const auto& [address, r] : stats_.Addresses()) {
    packets += r.packets;
    bytes += r.bytes;
  }
  EXPECT_EQ(packets, uint64_t{kThreads} * kPackets);
  EXPECT_EQ(bytes, uint64_t{kPackets} * (10 + 11 + 12 + 13));
}

// The packets of all statistic lines of a file.
uint64_t PacketsIn(const std::string& text) {
  uint64_t packets = 0;
  size_t line = text.find("\r\n");
  while (line != std::string::npos && line + 2 < text.size()) {
    const size_t number = text.find(' ', line) + 1;
    packets += std::stoull(text.substr(number, text.find(' ', number) - number));
    line = text.find("\r\n", line + 2);
  }
  return packets;
}

// A settings page switches the file while the sources count: every packet lands in the old file
// or in the new one.
TEST_F(TrafficStatisticsTest, SwitchingFilesWhileThreadsCountLosesNoPacket) {
  stats_.SetFile("a.log");
  constexpr int kThreads = 3, kPackets = 20000;
  std::atomic<int> finished{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kPackets; ++i) {
        stats_.CountPacket(Ip("10.0.0.0") + static_cast<uint32_t>((i % 64) << 24), 10);
      }
      ++finished;
    });
  }
  int switches = 0;
  while (finished < kThreads || switches < 2) {
    stats_.SetFile(switches++ % 2 == 0 ? "b.log" : "a.log");
  }
  for (std::thread& thread : threads) thread.join();
  stats_.WriteFile();
  EXPECT_EQ(PacketsIn(File("a.log")) + PacketsIn(File("b.log")), uint64_t{kThreads} * kPackets);
}

TEST_F(TrafficStatisticsTest, TurningTheStatisticsOffWhileThreadsCountLeavesNoRecord) {
  for (int round = 0; round < 50; ++round) {
    stats_.SetFile("stat.log");
    std::atomic<bool> stop{false};
    std::atomic<int> counted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
      threads.emplace_back([&, t] {
        for (uint32_t i = 0; !stop; ++i) {
          stats_.CountPacket(Ip("10.0.0.0") + ((i % 64) << 24) + static_cast<uint32_t>(t), 10);
          ++counted;
        }
      });
    }
    while (counted < 100) std::this_thread::yield();
    stats_.SetFile("");
    stop = true;
    for (std::thread& thread : threads) thread.join();
    ASSERT_TRUE(stats_.Addresses().empty()) << "round " << round;
  }
  EXPECT_GT(PacketsIn(File()), 0u);
}

// "stat<date>.log" and today's "stat2026-12-07.log" stand for one file: changing one for the
// other keeps what was counted since the last write, and the new name decides the next day's file.
TEST_F(TrafficStatisticsTest, RenamingTheFileInUseKeepsItsCounts) {
  TrafficStatistics stats(files_, clock_, log_, *ParseLocalFileTime("07.12.2026", "23:59:00"));
  stats.SetFile("stat<date>.log");
  stats.CountPacket(Ip("10.0.0.1"), 100);
  stats.WriteFile();
  stats.CountPacket(Ip("10.0.0.1"), 50);
  stats.SetFile("stat2026-12-07.log");
  EXPECT_EQ(stats.active_file(), "stat2026-12-07.log");
  EXPECT_EQ(stats.Address(Ip("10.0.0.1"))->packets, 2u);
  EXPECT_EQ(stats.Address(Ip("10.0.0.1"))->bytes, 150u);
  clock_.Advance(std::chrono::seconds(90));  // 00:00:30
  stats.WriteFile();
  EXPECT_EQ(stats.active_file(), "stat2026-12-07.log");
  EXPECT_NE(File("stat2026-12-07.log").find("10.0.0.1 2 150 "), std::string::npos);
  EXPECT_EQ(File("stat2026-12-08.log"), "<none>");
  stats.CountPacket(Ip("10.0.0.2"), 200);
  stats.SetFile("stat<date>.log");  // now another file
  EXPECT_EQ(stats.active_file(), "stat2026-12-08.log");
  EXPECT_NE(File("stat2026-12-07.log").find("10.0.0.2 1 200 "), std::string::npos);
  EXPECT_FALSE(stats.Address(Ip("10.0.0.1")).has_value());
}

// A "<date>" file takes the new day's name at the first write after midnight; the old day's file
// keeps what was counted up to that write.
TEST_F(TrafficStatisticsTest, ADatedFileMovesToTheNewDayAtTheFirstWriteAfterMidnight) {
  TrafficStatistics stats(files_, clock_, log_, *ParseLocalFileTime("07.12.2026", "23:59:00"));
  stats.SetFile("stat<date>.log");
  stats.CountPacket(Ip("10.0.0.1"), 100);
  stats.WriteFile();
  clock_.Advance(std::chrono::seconds(90));  // 00:00:30
  stats.CountPacket(Ip("10.0.0.2"), 200);
  EXPECT_EQ(stats.active_file(), "stat2026-12-07.log");
  stats.WriteFile();
  EXPECT_EQ(stats.active_file(), "stat2026-12-08.log");
  const std::string old_day = File("stat2026-12-07.log");
  EXPECT_NE(old_day.find("10.0.0.1 1 100 "), std::string::npos);
  EXPECT_NE(old_day.find("10.0.0.2 1 200 "), std::string::npos);
  EXPECT_EQ(PacketsIn(File("stat2026-12-08.log")), 0u);
  stats.CountPacket(Ip("10.0.0.3"), 300);
  clock_.Advance(milliseconds(2000 * 31));
  for (int i = 0; i < 31; ++i) stats.Tick();
  const std::string new_day = File("stat2026-12-08.log");
  EXPECT_EQ(PacketsIn(new_day), 1u);
  EXPECT_NE(new_day.find("\r\n10.0.0.3 1 300 "), std::string::npos);
  EXPECT_NE(new_day.find(" 08.12.2026 00:00:30 08.12.2026 00:00:30\r\n"), std::string::npos);
  EXPECT_EQ(File("stat2026-12-07.log"), old_day);
}

TEST(LocalTimeTest, FormatsAndParsesBack) {
  const LocalFileTime t = *ParseLocalFileTime("29.02.2024", "23:59:58");
  EXPECT_EQ(FormatLocalFileTime(t), "29.02.2024 23:59:58");
  EXPECT_EQ(FormatLocalFileTime(t + 2 * 10000000), "01.03.2024 00:00:00");
  EXPECT_EQ(LocalDateText(t), "2024-02-29");
  EXPECT_EQ(*ParseLocalFileTime("01.01.1601", "00:00:00"), 0);
  EXPECT_FALSE(ParseLocalFileTime("1.13.2024", "00:00:00"));
  EXPECT_FALSE(ParseLocalFileTime("01.01.2024", "00:00"));
  EXPECT_GT(LocalFileTimeNow(), *ParseLocalFileTime("01.01.2026", "00:00:00"));
}

}  // namespace
}  // namespace velmora
