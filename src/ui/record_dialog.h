#pragma once

#include <QDialog>
#include <QLineEdit>
#include <QString>
#include <optional>
#include <string>
#include <vector>

namespace velmora::ui {

// A small edit dialog of the settings sheet: one labelled line per field of a record, OK and
// Cancel. Lives on the GUI thread.
class RecordDialog final : public QDialog {
 public:
  struct Field {
    QString label;
    QString value;
  };

  RecordDialog(QWidget* parent, const QString& title, const std::vector<Field>& fields);

  // The fields' texts after OK, or nothing after Cancel.
  std::optional<std::vector<std::string>> Ask();
  QLineEdit& edit(size_t index) { return *edits_.at(index); }

 private:
  std::vector<QLineEdit*> edits_;
};

}  // namespace velmora::ui
