// Runs the real executable in a folder of its own and ends it with SIGTERM.

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>

#include "testing/velmora_process.h"

using namespace velmora::testing;

namespace {

TEST(VelmoraEndToEnd, StartsWritesSettingsRefusesASecondCopyAndStopsOnSigterm) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("velmora_e2e_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "velmora.ini")
      << "[GENERAL]\nRemoteControlOn=0\nPylonEnable=0\nBouncerEnable=0\nLogOn=1\nFoo=bar\n";
  const Child first = StartVelmora(dir, "first");
  ASSERT_TRUE(
      WaitFor([&] { return ReadAll(first.out).find("Corvid name is") != std::string::npos; }));
  ASSERT_TRUE(WaitFor([&] {
    return ReadAll(dir / "velmora.ini").find("StartListening=1\r\n") != std::string::npos;
  }));

  const Child second = StartVelmora(dir, "second");
  EXPECT_EQ(Wait(second.pid), 0);
  EXPECT_NE(ReadAll(second.out).find("Already running!"), std::string::npos);

  kill(first.pid, SIGTERM);
  EXPECT_EQ(Wait(first.pid), 0);
  const std::string ini = ReadAll(dir / "velmora.ini");
  EXPECT_NE(ini.find("StartListening=1\r\n"), std::string::npos);
  EXPECT_NE(ini.find("Foo=bar\r\n"), std::string::npos);
  EXPECT_NE(ReadAll(dir / "velmora.log1").find("Corvid name is"), std::string::npos);
  // The default statistic file, named after today, written at the start and the stop.
  bool statistics = false;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename();
    statistics |= name.size() == 18 && name.starts_with("stat20") && name.ends_with(".log") &&
                  ReadAll(entry.path()).starts_with("<Destination IP>");
  }
  EXPECT_TRUE(statistics);
  std::filesystem::remove_all(dir);
}

}  // namespace

// The tables of a hand-made file with an older stand-alone row file, through a real run: the
// router warns about the inserter's own row, saves the rows into velmora.ini and removes the file.
TEST(VelmoraEndToEnd, TablesAndRowFilesSurviveARealRun) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("velmora_e2e_tables_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "velmora.ini")
      << "[GENERAL]\nRemoteControlOn=0\nInserterIP=192.168.1.7\n"
         // No source runs, so nothing is ever sent to that inserter address.
         "PylonEnable=0\nTransparentEnable=0\nL2tpEnable=0\nBouncerEnable=0\n"
         "[NETWORKS]\nAlias=\"Office\", IPSubNetAddr=192.168.1.0, IPSubNetMask=255.255.255.0, "
         "IPSubNetMAC=\"Office.rows\", IPSubNetPID=256\n"
         "[USERPROFILES]\nGold=1000000,2000000,500000\n";
  std::ofstream(dir / "Office.rows") << "192.168.1.5 00:0A:1B:2C:3D:4E Gold\n"
                                        "192.168.1.7 00:0A:1B:2C:3D:4F\n";
  const Child router = StartVelmora(dir, "router");
  ASSERT_TRUE(WaitFor(
      [&] { return ReadAll(dir / "velmora.ini").find("[SubNet_001]") != std::string::npos; }));
  kill(router.pid, SIGTERM);
  EXPECT_EQ(Wait(router.pid), 0);
  const std::string ini = ReadAll(dir / "velmora.ini");
  EXPECT_NE(ini.find("IPSubNetMAC=\"SubNet_001\""), std::string::npos);
  EXPECT_NE(ini.find("\r\n192.168.1.5    00-0a-1b-2c-3d-4e Gold\r\n"), std::string::npos);
  EXPECT_EQ(ini.find("192.168.1.7    "), std::string::npos);
  EXPECT_NE(ini.find("DefaultUP=Gold\r\n"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir / "Office.rows"));
  EXPECT_NE(ReadAll(router.out).find("ARP Table Init Warning"), std::string::npos);
  std::filesystem::remove_all(dir);
}
