#include "desktop/mask_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace kelvox {

TMaskDialog::TMaskDialog(std::string& text, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint), text_(text) {
  setWindowTitle("Add...");
  setModal(true);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("Add mask", this));
  field_ = new QLineEdit(this);
  layout->addWidget(field_);
  auto* buttons = new QHBoxLayout();
  add_ = new QPushButton("Add", this);
  cancel_ = new QPushButton("Cancel", this);
  buttons->addStretch(1);
  buttons->addWidget(add_);
  buttons->addWidget(cancel_);
  layout->addLayout(buttons);

  // Enter in the field is "Add" too.
  add_->setDefault(true);
  connect(field_, &QLineEdit::textEdited, this, [this](const QString& typed) { text_ = typed.toStdString(); });
  connect(add_, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
}

bool TMaskDialog::Ask() {
  field_->setText(QString::fromStdString(text_));
  field_->selectAll();
  field_->setFocus();
  return exec() == QDialog::Accepted;
}

}  // namespace kelvox
