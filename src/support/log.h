#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "support/clock.h"

namespace velmora {

class OperatorPrompt;

// Where the newest log lines are shown: the window's list, or standard output when headless.
// Called by the log with its lock held, from whichever thread completed the line.
class ConsoleTarget {
 public:
  virtual ~ConsoleTarget() = default;
  virtual void AddEntry(std::string_view line) = 0;
  // A line with its level: the number of "!" that began its first piece (1 errors, 2 warnings,
  // 0 or 3 notes).
  virtual void AddEntryAtLevel(std::string_view line, int /*level*/) { AddEntry(line); }
  virtual int EntryCount() = 0;  // -1 when the list cannot tell
  virtual void RemoveOldest() = 0;
  virtual bool SelectLast() = 0;
};

// The settings that drive the log.
struct LogConfig {
  int32_t log_on = 0;
  std::string file_name = "velmora.log";
  int32_t file_size_kb = 100;
  int32_t level = 1;
};

// The process's log: assembles inserted pieces into lines, filters pieces by their leading "!"
// count, shows lines in the console target and appends them to two alternating files of bounded
// size. Every thread may insert; one lock serialises each insertion and each file maintenance.
class Log {
 public:
  static constexpr int kConsoleEntries = 50;

  explicit Log(Clock& clock = RealClock());
  ~Log();
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  Log& operator<<(std::string_view piece);
  Log& operator<<(int32_t value);
  Log& operator<<(uint16_t value);

  void SetConsoleTarget(ConsoleTarget* target);
  // Where "LIST ERROR!" is shown; asked outside the log's lock.
  void SetPrompt(OperatorPrompt* prompt);
  // Takes new settings; the file follows them at the next MaintainFile.
  void Configure(const LogConfig& config);
  void MaintainFile();

  int32_t level() const { return level_.load(std::memory_order_relaxed); }
  std::string current_file_name() const;

 private:
  static constexpr size_t kMaxPendingWithoutConsole = 1 << 20;
  static constexpr auto kReopenInterval = std::chrono::seconds(1);

  void InsertLocked(std::string_view piece);
  void FlushPendingLocked();
  void WriteFileLocked();
  void ShowInConsoleLocked();
  void MaintainFileLocked();
  bool OpenFileLocked(const char* mode);
  void CloseFileLocked();
  void BoundPendingLocked();

  Clock& clock_;
  mutable std::mutex mutex_;
  std::string pending_;
  ConsoleTarget* console_ = nullptr;
  OperatorPrompt* prompt_ = nullptr;
  int line_level_ = 0;  // of the line being assembled
  bool last_piece_suppressed_ = false;
  bool list_error_ = false;
  bool in_maintenance_ = false;
  LogConfig config_;
  std::atomic<int32_t> level_{1};
  std::FILE* file_ = nullptr;
  char suffix_ = '1';
  Clock::TimePoint last_open_attempt_{};
};

// A console for headless runs: prints every entry as a line on a stream and keeps the newest
// entries like the window's list does. For the journal, each line may begin with its level as a
// syslog priority ("<3>" errors, "<4>" warnings, "<6>" the rest).
class StreamConsole final : public ConsoleTarget {
 public:
  explicit StreamConsole(std::FILE* stream, bool priority_prefixes = false)
      : stream_(stream), priority_prefixes_(priority_prefixes) {}
  void AddEntry(std::string_view line) override;
  void AddEntryAtLevel(std::string_view line, int level) override;
  int EntryCount() override { return count_; }
  void RemoveOldest() override {
    if (count_ > 0) --count_;
  }
  bool SelectLast() override { return true; }

 private:
  std::FILE* stream_;
  bool priority_prefixes_;
  int count_ = 0;
};

}  // namespace velmora
