#include "ui/console_list.h"

namespace velmora::ui {

void ConsoleList::HandToList(std::function<void()> change) {
  QMetaObject::invokeMethod(list_, std::move(change), Qt::QueuedConnection);
}

void ConsoleList::AddEntry(std::string_view line) {
  ++count_;
  HandToList([list = list_, text = QString::fromUtf8(line.data(), qsizetype(line.size()))] {
    list->addItem(text);
  });
}

void ConsoleList::RemoveOldest() {
  if (count_ > 0) --count_;
  HandToList([list = list_] { delete list->takeItem(0); });
}

bool ConsoleList::SelectLast() {
  HandToList([list = list_] { list->setCurrentRow(list->count() - 1); });
  return true;
}

}  // namespace velmora::ui
