#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "platform/autostart.h"
#include "platform/file_system.h"
#include "platform/instance_lock.h"
#include "platform/local_addresses.h"

namespace velmora {
namespace {

TEST(InstanceLockTest, SecondHolderIsRefusedUntilTheFirstEnds) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("velmora_lock_" + std::to_string(getpid())))
          .string();
  {
    InstanceLock first(path);
    ASSERT_TRUE(first.held());
    InstanceLock second(path);
    EXPECT_FALSE(second.held());
  }
  InstanceLock again(path);
  EXPECT_TRUE(again.held());
  std::filesystem::remove(path);
}

TEST(AutostartTest, OnWritesTheEntryAndOffRemovesIt) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("velmora_auto_" + std::to_string(getpid()));
  const std::string folder = (dir / "config" / "autostart").string();
  const AutostartEntry entry{"\"/usr/bin/velmora\" \"--headless\"", "/srv/velmora"};
  ASSERT_TRUE(SetAutoRun(1, entry, folder));
  PosixFileSystem files;
  const auto text = files.ReadFile(folder + "/velmora.desktop");
  ASSERT_TRUE(text.has_value());
  EXPECT_NE(text->find("Exec=\"/usr/bin/velmora\" \"--headless\"\n"), std::string::npos);
  EXPECT_NE(text->find("Path=/srv/velmora\n"), std::string::npos);
  EXPECT_TRUE(SetAutoRun(0, entry, folder));
  EXPECT_FALSE(std::filesystem::exists(folder + "/velmora.desktop"));
  std::filesystem::remove_all(dir);
}

TEST(LocalAddressesTest, LeavesOutLoopback) {
  for (const std::string& address : LocalIpv4Addresses()) EXPECT_NE(address.rfind("127.", 0), 0u);
}

}  // namespace
}  // namespace velmora
