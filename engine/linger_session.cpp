// Lingering sessions in the table: a session outlives its client's connection
// while its link is up, waits for a client for Linger minutes, and ends with a
// QUIT to the server when the operator, a stop or the wait ends it.
#include <algorithm>

#include "config/settings.h"
#include "engine/console.h"
#include "engine/event_log.h"
#include "engine/linger_key.h"
#include "engine/session_table.h"

namespace kelvox {

namespace {

bool Connected(const std::unique_ptr<TConnection>& connection) {
  return connection && connection->State() == wsConnected;
}

}  // namespace

int TSessionTable::FindLinger(std::string_view key, const std::string& target) const {
  int found = -1;
  for (int slot = 0; slot < Count(); ++slot) {
    const TLinger* linger = Slot(slot).Linger.get();
    if (linger == nullptr || linger->Ending) continue;
    // Every key is compared: how long the search takes tells nothing of which matched.
    const bool same = SameLingerKey(linger->Key, key) && linger->Target == target;
    if (same && found < 0) found = slot;
  }
  return found;
}

bool TSessionTable::IsAttached(int slot, const TConnection* client) const {
  if (slot < 0 || slot >= Count()) return false;
  const TMySocket& record = Slot(slot);
  if (record.Client.get() == client) return true;
  if (!record.Linger) return false;
  return std::any_of(record.Linger->Others.begin(), record.Linger->Others.end(),
                     [client](const TAttached& other) { return other.Client.get() == client; });
}

void TSessionTable::BindClient(int slot, TConnection& client) {
  client.Tag = slot;
  client.OnChangeState = [this, id = Slot(slot).Id](TConnection*, TSocketState, TSocketState to) {
    if (to == wsClosed) PostDeparture(id);
  };
}

void TSessionTable::Remove(int slot) {
  ShowUserCount(Count() - 1);
  console_.ClearRow(slot + 1);
  if (Slot(slot).Link) Slot(slot).Link->Close();
  CompactAfterLeaving(slot);
}

bool TSessionTable::KeepSession(int slot) {
  TMySocket& record = Slot(slot);
  TLinger& linger = *record.Linger;
  std::erase_if(linger.Others, [](const TAttached& other) { return !Connected(other.Client); });
  const bool link_up = Connected(record.Link) && !record.Registration && !linger.Channels.Nick().empty();
  if (linger.Ending || !link_up) return false;
  record.Departing = false;
  if (Connected(record.Client)) return true;
  if (!linger.Others.empty()) {
    // Another attached client takes the record's place.
    record.Client = std::move(linger.Others.front().Client);
    record.Tags = linger.Others.front().Tags;
    linger.Others.erase(linger.Others.begin());
    ReleaseSlot(slot);
    return true;
  }
  if (linger.Detached) return true;
  // Nobody is behind any more: the server's lines are read again.
  if (record.Held) {
    record.Held = false;
    record.Link->ResumeReading();
  }
  linger.Detached = true;
  linger.DetachedAt = TEventLoop::Clock::now();
  linger.MinutesLeft = -1;
  record.Link->SendLine(kLingerAway);
  ++linger.AwayReplies;
  log_.LogEvent(slot + 1, "Detached");
  WatchDetached(slot, linger.DetachedAt);
  return true;
}

void TSessionTable::WatchDetached(int slot, TEventLoop::Clock::time_point now) {
  TMySocket& record = Slot(slot);
  TLinger& linger = *record.Linger;
  if (linger.Ending) return;
  linger.Ring.SetCapacity(settings_.LingerLinesValue());
  const auto minute = Limits.LingerMinute;
  const auto left = minute * settings_.LingerMinutesValue() - (now - linger.DetachedAt);
  if (left <= left.zero()) return EndSession(slot, false);
  const int minutes = static_cast<int>((left + minute - std::chrono::nanoseconds(1)) / minute);
  if (minutes == linger.MinutesLeft) return;
  linger.MinutesLeft = minutes;
  ShowStatus(slot, "Detached (" + std::to_string(minutes) + " min left)");
}

bool TSessionTable::DropClientsBehind(int slot, std::string_view why) {
  TMySocket& record = Slot(slot);
  bool dropped = false;
  const auto drop = [&](TConnection& client) {
    if (client.State() != wsConnected || !client.BufferHigh()) return;
    client.SendText(BouncerNotice(record.Nick, why));
    client.Close();
    dropped = true;
  };
  drop(*record.Client);
  for (TAttached& other : record.Linger->Others) drop(*other.Client);
  return dropped;
}

void TSessionTable::EndSession(int slot, bool with_notice) {
  TMySocket& record = Slot(slot);
  TLinger& linger = *record.Linger;
  if (linger.Ending) return;
  linger.Ending = true;
  if (with_notice) Tell(slot, "   You were kicked by the administrator.\r\n");
  if (Connected(record.Link)) record.Link->SendLine(kLingerQuit);
  if (record.Link) record.Link->Close();
  for (TAttached& other : linger.Others) other.Client->Close();
  record.Client->Close();
  // A session without a client has no close to wait for.
  PostDeparture(record.Id);
}

}  // namespace kelvox
