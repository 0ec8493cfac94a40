// The update window: the update check's text in view ("Searching...", then the
// answer) and, once a check has finished, the web site's address as a link that
// opens the site. "Close" hides it; a check brings it up again.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <string>

namespace kelvox {

class TUpdateWindow : public QDialog {
 public:
  explicit TUpdateWindow(QWidget* parent);

  /// Shows the window (brought up when already visible) with `text` alone and
  /// `link` beside it; an empty link is hidden.
  void Show(const std::string& text, const std::string& link);

  QLabel* TextLabel() const { return text_; }
  QLabel* LinkLabel() const { return link_; }
  QPushButton* CloseButton() const { return close_; }

 private:
  QLabel* text_ = nullptr;
  QLabel* link_ = nullptr;
  QPushButton* close_ = nullptr;
};

}  // namespace kelvox
