#include "ui/record_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>

namespace velmora::ui {

RecordDialog::RecordDialog(QWidget* parent, const QString& title, const std::vector<Field>& fields)
    : QDialog(parent) {
  setWindowTitle(title);
  setObjectName("recordDialog");
  auto* form = new QFormLayout(this);
  for (const Field& field : fields) {
    auto* edit = new QLineEdit(field.value, this);
    form->addRow(field.label, edit);
    edits_.push_back(edit);
  }
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  form->addRow(buttons);
}

std::optional<std::vector<std::string>> RecordDialog::Ask() {
  if (exec() != QDialog::Accepted) return std::nullopt;
  std::vector<std::string> texts;
  for (QLineEdit* edit : edits_) texts.push_back(edit->text().trimmed().toStdString());
  return texts;
}

}  // namespace velmora::ui
