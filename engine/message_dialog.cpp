#include "engine/message_dialog.h"

#include "base/decimal.h"
#include "engine/bouncer.h"
#include "engine/console.h"

namespace kelvox {

void TMessageDialog::Open(int tag) {
  TagField = std::to_string(tag);
  Visible = true;
}

int TMessageDialog::SendClick() {
  int sent = 0;
  if (Lines.empty() || Lines.front().empty()) {
    console_.ShowError("Invalid message.");
  } else if (SendToAll) {
    sent = bouncer_.UserCount();
    for (int tag = 1; tag <= sent; ++tag) {
      for (const std::string& line : Lines) bouncer_.AdminNotice(tag, line);
    }
    if (sent > 0) Visible = false;
  } else if (ParseDecimal(TagField) < 1 || ParseDecimal(TagField) > bouncer_.UserCount()) {
    console_.ShowError("Invalid Tag");
  } else {
    const int tag = ParseDecimal(TagField);
    for (const std::string& line : Lines) bouncer_.AdminNotice(tag, line);
    Visible = false;
    sent = 1;
  }
  Lines.clear();
  TagField.clear();
  return sent;
}

}  // namespace kelvox
