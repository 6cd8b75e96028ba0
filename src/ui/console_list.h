#pragma once

#include <QListWidget>
#include <atomic>
#include <functional>

#include "support/log.h"

namespace velmora::ui {

// The debug console: the log's console target while the window runs. The log calls it from any
// thread with its lock held; every change is handed to the list on the GUI thread as a queued call,
// in order, so the caller never waits for the GUI thread. The count is the log's own view of the
// entries, kept here so that the log's bound of 50 holds before the list has caught up.
class ConsoleList final : public ConsoleTarget {
 public:
  explicit ConsoleList(QListWidget* list) : list_(list) {}

  void AddEntry(std::string_view line) override;
  int EntryCount() override { return count_.load(); }
  void RemoveOldest() override;
  bool SelectLast() override;

 private:
  void HandToList(std::function<void()> change);

  QListWidget* list_;
  std::atomic<int> count_{0};
};

}  // namespace velmora::ui
