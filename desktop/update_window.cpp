#include "desktop/update_window.h"

#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>

#include "console/shell_open.h"

namespace kelvox {

TUpdateWindow::TUpdateWindow(QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint) {
  setWindowTitle("Kelvox");
  auto* layout = new QVBoxLayout(this);
  text_ = new QLabel(this);
  text_->setAlignment(Qt::AlignCenter);
  link_ = new QLabel(this);
  link_->setAlignment(Qt::AlignCenter);
  link_->setTextFormat(Qt::RichText);
  link_->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  connect(link_, &QLabel::linkActivated, this, [](const QString& target) { ShellOpen(target.toStdString()); });
  close_ = new QPushButton("Close", this);
  connect(close_, &QPushButton::clicked, this, &QDialog::hide);
  layout->addWidget(text_);
  layout->addWidget(link_);
  layout->addWidget(close_, 0, Qt::AlignCenter);
  resize(260, 120);
  link_->hide();
}

void TUpdateWindow::Show(const std::string& text, const std::string& link) {
  text_->setText(QString::fromStdString(text));
  const QString address = QString::fromStdString(link).toHtmlEscaped();
  link_->setText("<a href=\"" + address + "\">" + address + "</a>");
  link_->setVisible(!link.empty());
  if (!isVisible()) {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
      move(screen->availableGeometry().center() - rect().center());
    }
  }
  show();
  raise();
  activateWindow();
}

}  // namespace kelvox
