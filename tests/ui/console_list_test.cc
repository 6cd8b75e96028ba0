// The debug console's target on its own: a flood of log lines from another thread keeps only the
// newest lines and queues at most one refresh to the GUI thread.

#include "ui/console_list.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QListWidget>
#include <string>
#include <thread>

namespace velmora::ui {
namespace {

// Counts the queued calls delivered to the object it watches; used on the GUI thread.
class QueuedCallCounter final : public QObject {
 public:
  int count = 0;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::MetaCall) ++count;
    return QObject::eventFilter(watched, event);
  }
};

TEST(ConsoleList, AFloodOfLinesQueuesOneRefreshAndKeepsTheNewest) {
  QListWidget list;
  QueuedCallCounter counter;
  list.installEventFilter(&counter);
  ConsoleList console(&list);
  std::thread writer([&] {
    for (int i = 0; i < 5000; ++i) console.AddEntry("line " + std::to_string(i));
    console.SelectLast();
  });
  writer.join();
  QCoreApplication::processEvents();

  EXPECT_EQ(counter.count, 1);
  EXPECT_EQ(console.EntryCount(), static_cast<int>(Log::kConsoleEntries));
  ASSERT_EQ(list.count(), static_cast<int>(Log::kConsoleEntries));
  EXPECT_EQ(list.item(0)->text(), "line 4950");
  EXPECT_EQ(list.item(list.count() - 1)->text(), "line 4999");
  EXPECT_EQ(list.currentRow(), list.count() - 1);
}

TEST(ConsoleList, LinesAfterARefreshQueueTheNextOne) {
  QListWidget list;
  ConsoleList console(&list);
  console.AddEntry("first");
  QCoreApplication::processEvents();
  console.AddEntry("second");
  QCoreApplication::processEvents();
  ASSERT_EQ(list.count(), 2);
  EXPECT_EQ(list.item(1)->text(), "second");
}

}  // namespace
}  // namespace velmora::ui
