// The About box: what the console program's `about` prints, and the web site
// as a link that opens it.
#pragma once

#include <QDialog>
#include <QLabel>

namespace kelvox {

class TAboutBox : public QDialog {
 public:
  explicit TAboutBox(QWidget* parent);

  QLabel* TextLabel() const { return text_; }
  QLabel* LinkLabel() const { return link_; }

 private:
  QLabel* text_ = nullptr;
  QLabel* link_ = nullptr;
};

}  // namespace kelvox
