// The message dialog: a text of one or more lines sent as administrator notices
// to the user whose tag it holds, or to every user.
#pragma once

#include <string>
#include <vector>

namespace kelvox {

class TBouncer;
class TConsole;

class TMessageDialog {
 public:
  TMessageDialog(TBouncer& bouncer, TConsole& console) : bouncer_(bouncer), console_(console) {}

  std::vector<std::string> Lines;  // the text box, line by line
  bool SendToAll = false;          // "Send to all users"; kept between uses
  std::string TagField;            // the target tag, decimal text
  bool Visible = false;

  /// Opens the dialog for a tag (the grid pop-up's "Message").
  void Open(int tag);
  /// "Send": checks the text and the tag ("Invalid message.", "Invalid Tag"),
  /// sends each line as a notice, then empties the text and the tag field. The
  /// dialog closes when something could be sent. Returns the number of users
  /// the text went to: 0 when it was refused or nobody is listed.
  int SendClick();
  void CancelClick() { Visible = false; }

 private:
  TBouncer& bouncer_;
  TConsole& console_;
};

}  // namespace kelvox
