// Back-pressure. A user's connection and its server link are read only while
// both keep up: when either holds more than its high mark for its peer, neither
// is read, so a user who stops reading holds the IRC server back (and the server
// the user) instead of the bouncer piling up what they send. Reading resumes
// once both are back at their low marks. A hold that does not move at all for
// StallLimit ends the user.
#include <algorithm>

#include "engine/bouncer.h"

namespace kelvox {

void TBouncer::BindFlow(TWSocket& connection, int (*slot_of)(TWSocket*)) {
  connection.OnBufferHigh = [this, slot_of](TWSocket* s) { HoldSlot(slot_of(s)); };
  connection.OnBufferLow = [this, slot_of](TWSocket* s) { ReleaseSlot(slot_of(s)); };
}

namespace {

// Bytes the slot's connections have handed to their peers, to tell a hold that
// moves from one that does not.
int64_t Moved(TWSocket* client, TWSocket* link) {
  return (client != nullptr ? client->WriteCount() : 0) + (link != nullptr ? link->WriteCount() : 0);
}

}  // namespace

void TBouncer::HoldSlot(int slot) {
  if (slot < 0 || slot >= kSlotCount) return;
  TMySocket& record = Slots[static_cast<std::size_t>(slot)];
  TTcpSrvClient* client = ClientOfSlot(slot);
  TWSocket* link = Links[static_cast<std::size_t>(slot)].get();
  if (client != nullptr) client->PauseReading();
  if (link != nullptr) link->PauseReading();
  if (record.Held) return;
  record.Held = true;
  record.HeldMoved = Moved(client, link);
  record.HeldMovedAt = TEventLoop::Clock::now();
  if (!stall_timer_.Enabled()) {
    stall_timer_.SetInterval(static_cast<int>(std::max<int64_t>(StallLimit.count() / 5, 1)));
    stall_timer_.SetEnabled(true);
  }
}

void TBouncer::ReleaseSlot(int slot) {
  if (slot < 0 || slot >= kSlotCount) return;
  TMySocket& record = Slots[static_cast<std::size_t>(slot)];
  TTcpSrvClient* client = ClientOfSlot(slot);
  TWSocket* link = Links[static_cast<std::size_t>(slot)].get();
  if (!record.Held || (client != nullptr && client->BufferHigh()) || (link != nullptr && link->BufferHigh())) return;
  record.Held = false;
  if (client != nullptr) client->ResumeReading();
  if (link != nullptr) link->ResumeReading();
}

void TBouncer::CheckStalls(TTimer*) {
  const auto now = TEventLoop::Clock::now();
  bool any = false;
  for (int slot = 0; slot < std::min(Server.ClientCount(), kSlotCount); ++slot) {
    TMySocket& record = Slots[static_cast<std::size_t>(slot)];
    TTcpSrvClient* client = ClientOfSlot(slot);
    if (!record.Held || client == nullptr || client->State() != wsConnected) continue;
    const int64_t moved = Moved(client, Links[static_cast<std::size_t>(slot)].get());
    if (moved != record.HeldMoved) {
      record.HeldMoved = moved;
      record.HeldMovedAt = now;
    } else if (now - record.HeldMovedAt >= StallLimit) {
      SendNotice(client, "   Too far behind, bye.\r\n");
      Kick(slot + 1, false);
      continue;
    }
    any = true;
  }
  if (!any) stall_timer_.SetEnabled(false);
}

}  // namespace kelvox
