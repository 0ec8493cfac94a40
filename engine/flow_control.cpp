// Back-pressure. A user's connection and its server link are read only while
// both keep up: when either holds more than its high mark for its peer, neither
// is read, so a user who stops reading holds the IRC server back (and the server
// the user) instead of the bouncer piling up what they send. Reading resumes
// once both are back at their low marks. A hold that does not move at all for
// Limits.Stall ends the user.
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
  if (record.Linger) {
    for (TAttached& other : record.Linger->Others) other.Client->PauseReading();
  }
  if (record.Link) record.Link->PauseReading();
  if (record.Held) return;
  ++Counters.BackPressurePauses;
  record.Held = true;
  record.HeldMoved = Moved(record);
  record.HeldMovedAt = TEventLoop::Clock::now();
}

void TSessionTable::ReleaseSlot(int slot) {
  if (slot < 0 || slot >= Count()) return;
  TMySocket& record = Slot(slot);
  if (!record.Held || record.Client->BufferHigh() || (record.Link && record.Link->BufferHigh())) return;
  if (record.Linger && std::any_of(record.Linger->Others.begin(), record.Linger->Others.end(),
                                   [](const TAttached& other) { return other.Client->BufferHigh(); })) {
    return;
  }
  record.Held = false;
  record.Client->ResumeReading();
  if (record.Linger) {
    for (TAttached& other : record.Linger->Others) other.Client->ResumeReading();
  }
  if (record.Link) record.Link->ResumeReading();
}

bool TSessionTable::Stalled(TMySocket& record, TEventLoop::Clock::time_point now) {
  if (!record.Held) return false;
  if (const int64_t moved = Moved(record); moved != record.HeldMoved) {
    record.HeldMoved = moved;
    record.HeldMovedAt = now;
  }
  return now - record.HeldMovedAt >= Limits.Stall;
}

}  // namespace kelvox
