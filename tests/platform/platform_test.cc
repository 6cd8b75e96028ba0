#include <errno.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

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
    EXPECT_EQ(second.state(), InstanceLock::State::kBusy);
    EXPECT_EQ(second.error(), 0);
  }
  InstanceLock again(path);
  EXPECT_TRUE(again.held());
  std::filesystem::remove(path);
}

TEST(InstanceLockTest, AFileThatCannotBeMadeIsNotTakenForAnotherCopy) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("velmora_lockdir_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir / "velmora.lock");
  const InstanceLock directory((dir / "velmora.lock").string());
  EXPECT_EQ(directory.state(), InstanceLock::State::kNotCreated);
  EXPECT_EQ(directory.error(), EISDIR);
  const InstanceLock missing_folder((dir / "missing" / "velmora.lock").string());
  EXPECT_EQ(missing_folder.state(), InstanceLock::State::kNotCreated);
  EXPECT_EQ(missing_folder.error(), ENOENT);
  EXPECT_FALSE(missing_folder.held());
  std::filesystem::remove_all(dir);
}

TEST(AutostartTest, OnWritesTheEntryAndOffRemovesIt) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("velmora_auto_" + std::to_string(getpid()));
  const std::string folder = (dir / "config" / "autostart").string();
  const AutostartEntry entry{{"/usr/bin/velmora", "--headless"}, "/srv/velmora"};
  ASSERT_TRUE(SetAutoRun(1, entry, folder));
  PosixFileSystem files;
  const auto text = files.ReadFile(folder + "/velmora.desktop");
  ASSERT_TRUE(text.has_value());
  EXPECT_NE(text->find("Exec=/usr/bin/velmora --headless\n"), std::string::npos);
  EXPECT_NE(text->find("Path=/srv/velmora\n"), std::string::npos);
  EXPECT_TRUE(SetAutoRun(0, entry, folder));
  EXPECT_FALSE(std::filesystem::exists(folder + "/velmora.desktop"));
  std::filesystem::remove_all(dir);
}

// The Exec key as a desktop environment reads it: string escapes first (a backslash is
// written twice), then the quoting of arguments with reserved characters, and %% for a "%".
TEST(AutostartTest, ExecQuotesWhatTheDesktopEntryRulesRequire) {
  const auto exec = [](std::vector<std::string> command, std::string folder = "/srv/velmora") {
    const std::string text = AutostartDesktopText({std::move(command), std::move(folder)});
    const size_t start = text.find("\nExec=") + 6;
    return text.substr(start, text.find('\n', start) - start);
  };
  EXPECT_EQ(exec({"/opt/my apps/velmora", "--headless"}), R"("/opt/my apps/velmora" --headless)");
  EXPECT_EQ(exec({"/srv/a\"b$c`d\\e%f", "50%", ""}), R"("/srv/a\\"b\\$c\\`d\\\\e%%f" 50%% "")");
  EXPECT_EQ(exec({"/srv/it's", "x;y", "a\tb"}), R"("/srv/it's" "x;y" "a\tb")");
  EXPECT_NE(AutostartDesktopText({{"/v"}, "/srv/back\\slash"}).find("\nPath=/srv/back\\\\slash\n"),
            std::string::npos);
}

TEST(AutostartTest, TheProgramIsNamedByItsAbsolutePath) {
  const std::string path = ExecutablePath();
  EXPECT_EQ(path, std::filesystem::read_symlink("/proc/self/exe").string());
  EXPECT_TRUE(std::filesystem::path(path).is_absolute());
}

TEST(LocalAddressesTest, LeavesOutLoopback) {
  for (const std::string& address : LocalIpv4Addresses()) EXPECT_NE(address.rfind("127.", 0), 0u);
}

}  // namespace
}  // namespace velmora
