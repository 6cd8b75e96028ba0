#include "ui/console_list.h"

namespace velmora::ui {

void ConsoleList::AddEntry(std::string_view line) {
  {
    std::lock_guard lock(mutex_);
    lines_.push_back(QString::fromUtf8(line.data(), qsizetype(line.size())));
    if (lines_.size() > kKeptLines) lines_.pop_front();
  }
  RequestRefresh();
}

int ConsoleList::EntryCount() {
  std::lock_guard lock(mutex_);
  return static_cast<int>(lines_.size());
}

void ConsoleList::RemoveOldest() {
  {
    std::lock_guard lock(mutex_);
    if (!lines_.empty()) lines_.pop_front();
  }
  RequestRefresh();
}

bool ConsoleList::SelectLast() {
  RequestRefresh();
  return true;
}

void ConsoleList::RequestRefresh() {
  if (refresh_pending_.exchange(true)) return;
  QMetaObject::invokeMethod(
      list_, [this] { Refresh(); }, Qt::QueuedConnection);
}

void ConsoleList::Refresh() {
  refresh_pending_.store(false);
  QStringList lines;
  {
    std::lock_guard lock(mutex_);
    lines = QStringList(lines_.begin(), lines_.end());
  }
  list_->clear();
  list_->addItems(lines);
  list_->setCurrentRow(list_->count() - 1);
}

}  // namespace velmora::ui
