// Departure: a user's connection has ended. The console and the log learn it,
// the slot's server link and timer stop, and the table closes the gap so that
// every later user moves down one slot, one tag and one grid row.
#include <algorithm>

#include "config/settings.h"
#include "engine/console.h"
#include "engine/event_log.h"
#include "engine/session_table.h"

namespace kelvox {

// Never inside the call that ended the connection: a handler that closes users
// (Stop closes them all) sees the table whole until it has returned.
void TSessionTable::PostDeparture(uint64_t id) {
  const int slot = SlotOfId(id);
  if (slot < 0 || Slot(slot).Departing) return;
  Slot(slot).Departing = true;
  loop_.Post(alive_.Guard([this, id] {
    if (const int now = SlotOfId(id); now >= 0) ServerClientDisconnect(now);
  }));
}

void TSessionTable::ServerClientDisconnect(int slot) {
  TMySocket& record = Slot(slot);
  if (record.Linger && KeepSession(slot)) return;
  try {
    log_.LogEvent(slot + 1, "Disconnected");
    if (settings_.Beep) console_.PlayBeep();
    ShowUserCount(Count() - 1);
    console_.ClearRow(slot + 1);
    if (record.Link) record.Link->Close();
    if (record.CtcpTimer) record.CtcpTimer->SetEnabled(false);
    // A lingering session's held lines go with it: the heap they leave is
    // given back to the system, as a socket's is.
    if (record.Linger) loop_.NoteReleased(record.Linger->Ring.Bytes());
  } catch (const std::exception&) {
    // Whatever failed above, the slot must still be given back.
  }
  CompactAfterLeaving(slot);
}

// The limits of the users who have not got anywhere, and of the held ones that
// do not move. Each is told why, then dropped.
void TSessionTable::Watch(TTimer*) {
  if (slots_.empty()) return watch_timer_.SetEnabled(false);
  const auto now = TEventLoop::Clock::now();
  for (int slot = 0; slot < Count(); ++slot) {
    TMySocket& record = Slot(slot);
    if (record.Linger && record.Linger->Detached) {
      WatchDetached(slot, now);
      continue;
    }
    if (record.Client->State() != wsConnected) continue;
    const auto waited = now - record.AdmittedAt;
    const char* why = nullptr;
    if (settings_.Identification && !record.Identified && waited >= Limits.Password) {
      why = "   No password given in time, bye.\r\n";
    } else if (!record.Relaying && waited >= Limits.Link) {
      why = "   No server chosen in time, bye.\r\n";
    } else if (Stalled(record, now)) {
      why = "   Too far behind, bye.\r\n";
    }
    // A lingering session lets go of the clients that are behind, and stays.
    if (why != nullptr && !(record.Linger && DropClientsBehind(slot, why))) {
      Tell(slot, why);
      Kick(slot + 1, false);
    }
  }
}

void TSessionTable::CompactAfterLeaving(int slot) {
  // The leaving user is still listed: n counts it.
  const int n = Count();
  slots_.erase(slots_.begin() + slot);
  for (int i = slot; i < n - 1; ++i) {
    TMySocket& moved = Slot(i);
    moved.Client->Tag = i;
    if (moved.Link) moved.Link->Tag = i;
    if (moved.CtcpTimer) moved.CtcpTimer->Tag = i;
    if (moved.Linger) {
      for (TAttached& other : moved.Linger->Others) other.Client->Tag = i;
    }
    DrawRow(i);
  }
  console_.ClearRow(n);
  console_.SetRowCount(n + 1);
}

}  // namespace kelvox
