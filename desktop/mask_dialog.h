// The mask dialog ("Add..."): one text field for an address mask that the
// settings window appends to the selectable-address list. The field edits the
// text it is handed, so what was last typed is there at the next opening, also
// after "Cancel".
#pragma once

#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <string>

namespace kelvox {

class TMaskDialog : public QDialog {
 public:
  /// `text` outlives the dialog.
  TMaskDialog(std::string& text, QWidget* parent);

  /// Shows the text, then runs modally: true for "Add" (or Enter in the
  /// field), false for "Cancel" or the close box.
  bool Ask();

  QLineEdit* Field() const { return field_; }
  QPushButton* AddButton() const { return add_; }

 private:
  std::string& text_;
  QLineEdit* field_ = nullptr;
  QPushButton* add_ = nullptr;
  QPushButton* cancel_ = nullptr;
};

}  // namespace kelvox
