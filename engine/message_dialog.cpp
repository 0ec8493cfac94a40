#include "engine/message_dialog.h"

#include "base/decimal.h"
#include "engine/bouncer.h"

namespace kelvox {

void TMessageDialog::Open(int tag) {
  TagField = std::to_string(tag);
  Visible = true;
}

void TMessageDialog::SendClick() {
  if (Lines.empty() || Lines.front().empty()) {
    console_.ShowError("Invalid message.");
  } else if (SendToAll) {
    const int count = bouncer_.UserCount();
    for (int i = 0; i < count; ++i) {
      if (bouncer_.ClientOfSlot(i) == nullptr) continue;
      for (const std::string& line : Lines) bouncer_.AdminNotice(i + 1, line);
    }
    if (count > 0) Visible = false;
  } else if (ParseDecimal(TagField) < 0 || bouncer_.ClientOfSlot(ParseDecimal(TagField) - 1) == nullptr) {
    console_.ShowError("Invalid Tag");
  } else {
    const int tag = ParseDecimal(TagField);
    for (const std::string& line : Lines) bouncer_.AdminNotice(tag, line);
    Visible = false;
  }
  Lines.clear();
  TagField.clear();
}

}  // namespace kelvox
