#include "desktop/about_box.h"

#include <QDialogButtonBox>
#include <QVBoxLayout>
#include <string>

#include "base/web_site.h"
#include "console/shell_open.h"
#include "engine/session.h"
#include "net/resolve.h"

namespace kelvox {

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
  setWindowTitle("About");
  setModal(true);
  auto* layout = new QVBoxLayout(this);
  text_ = new QLabel(QString::fromStdString(TrimControls(GreetingBanner())), this);
  text_->setAlignment(Qt::AlignCenter);
  const QString site = QString::fromStdString(std::string(kWebSite));
  link_ = new QLabel("<a href=\"" + site + "\">" + site + "</a>", this);
  link_->setAlignment(Qt::AlignCenter);
  link_->setTextFormat(Qt::RichText);
  link_->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  connect(link_, &QLabel::linkActivated, this, [](const QString& target) { ShellOpen(target.toStdString()); });
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  layout->addWidget(text_);
  layout->addWidget(link_);
  layout->addWidget(buttons);
}

}  // namespace kelvox
