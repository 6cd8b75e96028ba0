#pragma once

#include <QListWidget>
#include <QString>
#include <atomic>
#include <deque>
#include <mutex>

#include "support/log.h"

namespace velmora::ui {

// The debug console: the log's console target while the window runs. The log calls it from any
// thread with its lock held; the newest lines are kept here under a mutex, and at most one refresh
// of the list is queued to the GUI thread at a time, so the caller never waits for the GUI thread
// and a busy log cannot build up a backlog of queued calls. The refresh runs on the GUI thread.
class ConsoleList final : public ConsoleTarget {
 public:
  static constexpr size_t kKeptLines = Log::kConsoleEntries;

  explicit ConsoleList(QListWidget* list) : list_(list) {}

  void AddEntry(std::string_view line) override;
  int EntryCount() override;
  void RemoveOldest() override;
  bool SelectLast() override;

 private:
  void RequestRefresh();
  void Refresh();

  QListWidget* list_;
  std::mutex mutex_;
  std::deque<QString> lines_;
  std::atomic<bool> refresh_pending_{false};
};

}  // namespace velmora::ui
