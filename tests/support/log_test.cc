#include "support/log.h"
#include "testing/list_console.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace velmora {
namespace {

using testing::ListConsole;

std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("velmora_log_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
    log_.SetConsoleTarget(&console_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  LogConfig FileConfig(int32_t size_kb = 100) {
    return {
        .log_on = 1, .file_name = (dir_ / "v.log").string(), .file_size_kb = size_kb, .level = 1};
  }
  std::filesystem::path dir_;
  SimulatedClock clock_;
  Log log_{clock_};
  ListConsole console_;
};

TEST_F(LogTest, LevelFilterDropsOnlyThePieceAndStripsBangs) {
  log_.Configure(FileConfig());
  log_.MaintainFile();
  log_ << "!!Viewer thread exited..."
       << "\n";
  log_ << "!Errorcode=" << 10054 << ": reset\n";
  EXPECT_EQ(console_.entries, std::vector<std::string>{"Errorcode=10054: reset"});
  log_.Configure({.log_on = 0});
  log_.MaintainFile();
  EXPECT_EQ(ReadAll(dir_ / "v.log1"), "\r\nErrorcode=10054: reset\r\n");
}

TEST_F(LogTest, OnePieceWithSeveralLinesGivesSeveralEntries) {
  log_ << "a\nb";
  EXPECT_EQ(console_.entries, (std::vector<std::string>{"a", "b"}));
  log_ << "c\n";
  EXPECT_EQ(console_.entries.back(), "c");
}

TEST_F(LogTest, TextBeforeTheConsoleAppearsWithTheFirstLineAfterIt) {
  Log log(clock_);
  log << "early\n"
      << "second ";
  ListConsole console;
  log.SetConsoleTarget(&console);
  EXPECT_TRUE(console.entries.empty());
  log << "line\n";
  EXPECT_EQ(console.entries, (std::vector<std::string>{"early", "second line"}));
}

TEST_F(LogTest, ConsoleKeepsFiftyEntries) {
  for (int i = 0; i < 120; ++i) log_ << "line " << i << "\n";
  ASSERT_EQ(console_.entries.size(), 50u);
  EXPECT_EQ(console_.entries.front(), "line 70");
}

TEST_F(LogTest, FilesAlternateAtTheirSizeBound) {
  log_.Configure(FileConfig(1));
  log_.MaintainFile();
  const std::string line(99, 'x');
  for (int i = 0; i < 11; ++i) log_ << line << "\n";  // 1111 bytes: log1 passes 1024
  EXPECT_EQ(log_.current_file_name(), (dir_ / "v.log2").string());
  log_ << "into two\n";
  EXPECT_EQ(ReadAll(dir_ / "v.log2"), "into two\r\n");
  for (int i = 0; i < 11; ++i) log_ << line << "\n";
  EXPECT_EQ(log_.current_file_name(), (dir_ / "v.log1").string());
  log_ << "one again\n";
  EXPECT_EQ(ReadAll(dir_ / "v.log1"), "one again\r\n");
}

TEST_F(LogTest, SwitchingOffClosesAndOnAppends) {
  log_.Configure(FileConfig());
  log_.MaintainFile();
  log_ << "first\n";
  log_.Configure({.log_on = 0, .file_name = FileConfig().file_name});
  log_.MaintainFile();
  log_ << "not in file\n";
  log_.Configure(FileConfig());
  log_.MaintainFile();
  log_ << "second\n";
  EXPECT_EQ(ReadAll(dir_ / "v.log1"), "first\r\nsecond\r\n");
}

TEST_F(LogTest, UnopenableFileIsReportedWithoutDeadlockAndLoggingResumes) {
  LogConfig config = FileConfig();
  config.file_name = (dir_ / "missing" / "v.log").string();
  log_.Configure(config);
  log_.MaintainFile();
  ASSERT_EQ(console_.entries.size(), 1u);
  EXPECT_EQ(console_.entries[0], "Error opening Log file \"" + config.file_name + "1\"");
  log_ << "console only\n";
  std::filesystem::create_directories(dir_ / "missing");
  clock_.Advance(std::chrono::seconds(2));
  log_ << "back in the file\n";
  EXPECT_EQ(ReadAll(dir_ / "missing" / "v.log1"), "back in the file\r\n");
}

TEST_F(LogTest, AFailedReopenIsReportedAsOneEntryAfterTheLine) {
  LogConfig config = FileConfig();
  config.file_name = (dir_ / "missing" / "v.log").string();
  log_.Configure(config);
  log_.MaintainFile();
  console_.Clear();
  clock_.Advance(std::chrono::seconds(2));
  log_ << "a line\n";
  EXPECT_EQ(console_.entries, (std::vector<std::string>{"a line", "Error opening Log file \"" +
                                                                      config.file_name + "1\""}));
}

TEST_F(LogTest, ConcurrentWritersNeverSplitAPiece) {
  log_.Configure(FileConfig(100000));
  log_.MaintainFile();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      const std::string piece = "thread " + std::to_string(t) + " line\n";
      for (int i = 0; i < 500; ++i) log_ << piece;
    });
  }
  for (auto& th : threads) th.join();
  log_.Configure({.log_on = 0});
  log_.MaintainFile();
  std::istringstream file(ReadAll(dir_ / "v.log1"));
  int lines = 0;
  for (std::string line; std::getline(file, line); ++lines) {
    ASSERT_TRUE(line.rfind("thread ", 0) == 0 && line.size() == 14) << line;
  }
  EXPECT_EQ(lines, 2000);
}

// What a stream console prints for four lines of errors, warnings, notes and unmarked text.
std::string StreamConsoleOutput(bool priority_prefixes) {
  std::FILE* stream = std::tmpfile();
  StreamConsole console(stream, priority_prefixes);
  Log log;
  log.Configure({.level = 3});
  log.SetConsoleTarget(&console);
  log << "!Errorcode=" << 5 << "\n"
      << "!!Warned\n"
      << "!!!Noted\n"
      << "Plain\n";
  std::rewind(stream);
  std::string text;
  for (int c; (c = std::fgetc(stream)) != EOF;) text.push_back(static_cast<char>(c));
  std::fclose(stream);
  return text;
}

TEST(StreamConsoleTest, PrefixesEachLineWithItsSyslogPriorityForTheJournal) {
  EXPECT_EQ(StreamConsoleOutput(true), "<3>Errorcode=5\n<4>Warned\n<6>Noted\n<6>Plain\n");
  EXPECT_EQ(StreamConsoleOutput(false), "Errorcode=5\nWarned\nNoted\nPlain\n");
}

}  // namespace
}  // namespace velmora
