#include "engine/message_dialog.h"

#include "engine/bouncer.h"

namespace kelvox {

namespace {

bool AllDigits(const std::string& text) {
  if (text.empty() || text.size() > 9) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

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
  } else if (!AllDigits(TagField) || bouncer_.ClientOfSlot(std::stoi(TagField) - 1) == nullptr) {
    console_.ShowError("Invalid Tag");
  } else {
    const int tag = std::stoi(TagField);
    for (const std::string& line : Lines) bouncer_.AdminNotice(tag, line);
    Visible = false;
  }
  Lines.clear();
  TagField.clear();
}

}  // namespace kelvox
