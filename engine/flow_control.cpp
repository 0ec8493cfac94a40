// Back-pressure. A user's connection and its server link are read only while
// both keep up: when either holds more than its high mark for its peer, neither
// is read, so a user who stops reading holds the IRC server back (and the server
// the user) instead of the bouncer piling up what they send. Reading resumes
// once both are back at their low marks. A hold that does not move at all for
// StallLimit ends the user.
#include <algorithm>

#include "engine/session_table.h"

namespace kelvox {

namespace {

// Bytes the slot's connections have handed to their peers, to tell a hold that
// moves from one that does not.
int64_t Moved(const TMySocket& record) {
  return record.Client->WriteCount() + (record.Link ? record.Link->WriteCount() : 0);
}

}  // namespace

void TSessionTable::HoldSlot(int slot) {
  if (slot < 0 || slot >= Count()) return;
  TMySocket& record = Slot(slot);
  record.Client->PauseReading();
  if (record.Link) record.Link->PauseReading();
  if (record.Held) return;
  record.Held = true;
  record.HeldMoved = Moved(record);
  record.HeldMovedAt = TEventLoop::Clock::now();
  if (!stall_timer_.Enabled()) {
    stall_timer_.SetInterval(static_cast<int>(std::max<int64_t>(StallLimit.count() / 5, 1)));
    stall_timer_.SetEnabled(true);
  }
}

void TSessionTable::ReleaseSlot(int slot) {
  if (slot < 0 || slot >= Count()) return;
  TMySocket& record = Slot(slot);
  if (!record.Held || record.Client->BufferHigh() || (record.Link && record.Link->BufferHigh())) return;
  record.Held = false;
  record.Client->ResumeReading();
  if (record.Link) record.Link->ResumeReading();
}

void TSessionTable::CheckStalls(TTimer*) {
  const auto now = TEventLoop::Clock::now();
  bool any = false;
  for (int slot = 0; slot < Count(); ++slot) {
    TMySocket& record = Slot(slot);
    if (!record.Held || record.Client->State() != wsConnected) continue;
    if (const int64_t moved = Moved(record); moved != record.HeldMoved) {
      record.HeldMoved = moved;
      record.HeldMovedAt = now;
    } else if (now - record.HeldMovedAt >= StallLimit) {
      SendNotice(record.Client.get(), "   Too far behind, bye.\r\n");
      Kick(slot + 1, false);
      continue;
    }
    any = true;
  }
  if (!any) stall_timer_.SetEnabled(false);
}

}  // namespace kelvox
