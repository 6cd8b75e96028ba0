#include "platform/file_system.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

namespace velmora {
namespace {

class FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("velmora_fs_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / "velmora.ini").string();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
  std::string path_;
  PosixFileSystem files_;
};

TEST_F(FileSystemTest, WritesReadsBackAndKeepsTheOldMode) {
  ASSERT_TRUE(files_.WriteFileAtomically(path_, "one"));
  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  chmod(path_.c_str(), 0640);
  ASSERT_TRUE(files_.WriteFileAtomically(path_, "two"));
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(files_.ReadFile(path_), "two");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 1);
}

TEST_F(FileSystemTest, FailedWriteLeavesNoTemporaryFile) {
  EXPECT_FALSE(files_.WriteFileAtomically((dir_ / "no" / "x.ini").string(), "x"));
  EXPECT_FALSE(files_.ReadFile((dir_ / "absent").string()).has_value());
}

TEST_F(FileSystemTest, KillDuringSavesLeavesOneWholeFile) {
  const std::string old_text(200000, 'o');
  const std::string new_text(300000, 'n');
  ASSERT_TRUE(files_.WriteFileAtomically(path_, old_text));
  for (int round = 0; round < 10; ++round) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      PosixFileSystem files;
      for (;;) {
        files.WriteFileAtomically(path_, new_text);
        files.WriteFileAtomically(path_, old_text);
      }
    }
    usleep(2000 + round * 1500);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    const auto text = files_.ReadFile(path_);
    ASSERT_TRUE(text.has_value());
    EXPECT_TRUE(*text == old_text || *text == new_text) << "size " << text->size();
  }
}

}  // namespace
}  // namespace velmora
