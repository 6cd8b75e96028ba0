#include <gtest/gtest.h>

#include "app/configuration.h"
#include "app/settings.h"
#include "platform/file_system.h"
#include "support/log.h"

namespace velmora {
namespace {

class SettingsTest : public ::testing::Test {
 protected:
  Settings Load(const std::string& text, ApplyContext context = {{"10.1.2.3", "10.9.9.9"}, {}}) {
    if (!text.empty()) files_.WriteFileAtomically("velmora.ini", text);
    Settings s;
    config_.Load(s);
    config_.ApplySettings(s, context);
    return s;
  }
  std::string Saved(const Settings& s) {
    config_.Save(s);
    return *files_.ReadFile("velmora.ini");
  }
  MemoryFileSystem files_;
  Log log_;
  Configuration config_{files_, log_};
};

TEST_F(SettingsTest, MissingFileGivesEveryDefault) {
  const Settings s = Load("");
  EXPECT_EQ(s.LogFileName.get(), "velmora.log");
  EXPECT_EQ(s.BufTime, 3000);
  EXPECT_EQ(s.MaxPayloadCut, 15000000);
  EXPECT_EQ(s.InserterIP, DottedToAddress("127.0.0.1"));
  EXPECT_EQ(s.L2tpPoolIP, DottedToAddress("192.168.100.0"));
  EXPECT_EQ(s.StatisticFile.get(), "stat<date>.log");
  EXPECT_EQ(s.MCastNIC.get(), "10.1.2.3");
  EXPECT_EQ(s.WinPosition, kDefaultWinPosition);
  EXPECT_TRUE(config_.general().raw().empty());
}

TEST_F(SettingsTest, SavedFileIsExact) {
  const std::string text = Saved(Load(""));
  EXPECT_EQ(text.rfind(std::string(ConfigurationHeader()), 0), 0u);
  const std::string general = text.substr(ConfigurationHeader().size());
  EXPECT_EQ(general,
            "[GENERAL]\r\nWinPosition=0,1,-1,-1,-1,-1,5,5,630,470\r\n"
            "WinPositionQoS=0,1,-1,-1,-1,-1,1,1,640,480\r\nLogFileName=\"velmora.log\"\r\n"
            "LogFileSize=100\r\nLogOn=0\r\nLogLevel=1\r\nLoadOnStartup=0\r\nStartListening=1\r\n"
            "TrafficControl=0\r\nRemoteControlOn=1\r\nRemoteControlPort=6101\r\nCorvidEnable=0\r\n"
            "PylonEnable=1\r\nTransparentEnable=1\r\nBouncerEnable=1\r\nL2tpEnable=1\r\n"
            "CorvidDefaultRoute=0\r\nBufTime=3000\r\nInserterIP=127.0.0.1\r\nInserterPort=8000\r\n"
            "EnableBandwidth=1\r\nTransparentPort=6100\r\nStatisticEnable=1\r\n"
            "StatisticFile=\"stat<date>.log\"\r\nTypeChannel=DVB\r\nMaxPayloadCut=15000000\r\n"
            "DefaultUP=\r\nMCastNIC=10.1.2.3\r\nL2tpPort=1701\r\nL2tpPoolIP=192.168.100.0\r\n"
            "L2tpPool=100\r\nIpv6Adapter=0\r\n");
  EXPECT_NE(ConfigurationHeader().find(";   L2tpPool: IP pool\r\n;   \r\n;   [PYLONSRCFILTER] "
                                       "section: \r\n"),
            std::string::npos);
}

TEST_F(SettingsTest, CorrectionsAndOddLines) {
  const Settings s = Load(
      "[GENERAL]\nBufTime=200\nLogFileName=\"my log.txt\" ; remark\r\nFoo=1\r\n"
      "CorvidName=Other\nInserterPort=9000\nInserterPort=9001\nMCastNIC=10.9.9.9\n"
      "no equals sign\n[UNKNOWN]\nLogLevel=3\n");
  EXPECT_EQ(s.BufTime, 500);
  EXPECT_EQ(s.LogFileName.get(), "my log.txt");
  EXPECT_EQ(s.InserterPort, 9000);
  EXPECT_EQ(s.MCastNIC.get(), "10.9.9.9");
  EXPECT_EQ(s.LogLevel, 3);  // an unknown header leaves the section as it was
  const std::string text = Saved(s);
  EXPECT_NE(text.find("Ipv6Adapter=0\r\nFoo=1\r\nInserterPort=9001\r\n"), std::string::npos);
  EXPECT_EQ(text.find("CorvidName"), std::string::npos);
  EXPECT_EQ(text.find("\r\r"), std::string::npos);
  EXPECT_EQ(Load("[GENERAL]\nBufTime=20000\n").BufTime, 10000);
}

TEST_F(SettingsTest, RemoteControlRestrictionsAreWrittenOnlyWhenPresent) {
  const Settings open = Load("");
  EXPECT_EQ(open.RemoteControlBind.get(), "");
  const std::string plain = Saved(open);
  EXPECT_EQ(plain.find("RemoteControlBind"), std::string::npos);
  EXPECT_EQ(plain.find("RemoteControlAllow"), std::string::npos);
  const Settings bound =
      Load("[GENERAL]\nRemoteControlAllow=10.0.0.1, 192.168.0.0/16\nRemoteControlBind=127.0.0.1\n");
  EXPECT_EQ(bound.RemoteControlBind.get(), "127.0.0.1");
  EXPECT_EQ(bound.RemoteControlAllow.get(), "10.0.0.1, 192.168.0.0/16");
  EXPECT_NE(Saved(bound).find("Ipv6Adapter=0\r\nRemoteControlBind=127.0.0.1\r\n"
                              "RemoteControlAllow=10.0.0.1, 192.168.0.0/16\r\n"),
            std::string::npos);
}

TEST_F(SettingsTest, MetricsPortIsWrittenOnlyWhenPresent) {
  EXPECT_EQ(Saved(Load("")).find("MetricsPort"), std::string::npos);
  const Settings metrics = Load("[GENERAL]\nMetricsPort=9105\n");
  EXPECT_EQ(metrics.MetricsPort, 9105);
  EXPECT_NE(Saved(metrics).find("\r\nMetricsPort=9105\r\n"), std::string::npos);
}

TEST_F(SettingsTest, SpacedKeyIsNoKnownKey) {
  const Settings s = Load("[GENERAL]\nBufTime = 200\n");
  EXPECT_EQ(s.BufTime, 3000);
  EXPECT_NE(Saved(s).find("\r\nBufTime = 200\r\n"), std::string::npos);
}

TEST_F(SettingsTest, UnknownMcastNicBecomesFirstAddressOrLoopback) {
  EXPECT_EQ(Load("[GENERAL]\nMCastNIC=1.2.3.4\n").MCastNIC.get(), "10.1.2.3");
  EXPECT_EQ(Load("[GENERAL]\nMCastNIC=1.2.3.4\n", {}).MCastNIC.get(), "127.0.0.1");
}

TEST_F(SettingsTest, DefaultProfileFallsToTheLastWithALowGuarantee) {
  const ApplyContext context{{}, {{"A", 1000}, {"B", 20000000}, {"C", 5000}}};
  EXPECT_EQ(Load("[GENERAL]\nDefaultUP=B\n", context).DefaultUP.get(), "B");
  EXPECT_EQ(Load("[GENERAL]\nDefaultUP=X\n", context).DefaultUP.get(), "C");
}

TEST_F(SettingsTest, RoundTripKeepsEverything) {
  Settings s = Load("[GENERAL]\nWinPosition=2,3,-4,5,6,7,8,9,10,11\nZed=z z\n");
  s.LogLevel = 2;
  s.InserterIP = DottedToAddress("10.0.0.7");
  s.StatisticFile = "stats.log";
  const std::string first = Saved(s);
  const Settings again = Load(first);
  EXPECT_EQ(again.WinPosition, (WindowPlacement{2, 3, -4, 5, 6, 7, 8, 9, 10, 11}));
  EXPECT_EQ(Saved(again), first);
}

TEST_F(SettingsTest, GarbageNeverCrashesAndGivesDefaults) {
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary.push_back(static_cast<char>((i * 7919) & 0xff));
  for (const std::string& text : {binary, std::string("[GENERAL]\nLogLev"),
                                  std::string("[GENERAL]\n=\n===\n", 16), std::string(5000, '[')}) {
    const Settings s = Load(text);
    EXPECT_GE(s.BufTime, 500);
    const std::string saved = Saved(s);
    EXPECT_EQ(Saved(Load(saved)), saved);
  }
}

TEST_F(SettingsTest, FailedSaveIsLoggedAndKeepsTheFile) {
  files_.WriteFileAtomically("velmora.ini", "[GENERAL]\nFoo=1\n");
  files_.set_writable(false);
  EXPECT_FALSE(config_.Save(Settings{}));
  EXPECT_EQ(files_.ReadFile("velmora.ini"), "[GENERAL]\nFoo=1\n");
}

}  // namespace
}  // namespace velmora
