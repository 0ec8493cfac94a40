#include "desktop/message_window.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QVBoxLayout>
#include <vector>

namespace kelvox {

namespace {

// The text box's lines as a memo holds them: a final line break opens no line.
std::vector<std::string> SplitLines(const QString& text) {
  QStringList pieces = text.split('\n');
  if (pieces.size() > 1 && pieces.back().isEmpty()) pieces.removeLast();
  if (pieces.size() == 1 && pieces.front().isEmpty()) pieces.clear();
  std::vector<std::string> lines;
  for (const QString& piece : pieces) lines.push_back(piece.toStdString());
  return lines;
}

}  // namespace

TMessageWindow::TMessageWindow(TBouncer& bouncer, TConsoleModel& console, QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      console_(console),
      model_(bouncer, *this) {
  setWindowTitle("Kelvox");
  setWindowModality(Qt::ApplicationModal);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("Message", this));
  text_ = new QPlainTextEdit(this);
  text_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  layout->addWidget(text_, 1);
  to_all_ = new QCheckBox("Send to all users", this);
  layout->addWidget(to_all_);
  auto* buttons = new QHBoxLayout();
  send_ = new QPushButton("Send", this);
  cancel_ = new QPushButton("Cancel", this);
  buttons->addStretch(1);
  buttons->addWidget(send_);
  buttons->addWidget(cancel_);
  layout->addLayout(buttons);
  send_->setAutoDefault(false);
  cancel_->setAutoDefault(false);
  connect(send_, &QPushButton::clicked, this, [this] { SendClick(); });
  connect(cancel_, &QPushButton::clicked, this, [this] { CancelClick(); });
  resize(320, 200);
}

void TMessageWindow::Open(int tag) {
  model_.Open(tag);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
  show();
  raise();
  activateWindow();
  text_->setFocus();
}

void TMessageWindow::SendClick() {
  model_.Lines = SplitLines(text_->toPlainText());
  model_.SendToAll = to_all_->isChecked();
  model_.SendClick();
  text_->clear();  // the model has emptied its text and tag
  if (!model_.Visible) hide();
}

void TMessageWindow::CancelClick() {
  model_.CancelClick();
  hide();
}

void TMessageWindow::reject() { CancelClick(); }  // Escape and the close box

void TMessageWindow::ShowError(const std::string& text) {
  console_.TConsoleModel::ShowError(text);
  // Not blocking: the event loop goes on; modal to this window only.
  auto* box = new QMessageBox(QMessageBox::Critical, "Error", QString::fromStdString(text), QMessageBox::Ok, this);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::WindowModal);
  box->show();
}

}  // namespace kelvox
