// Departure: a user's connection has ended. The console and the log learn it,
// the slot's server link and timer stop, and the tables close the gap so that
// every later user moves down one slot, one tag and one grid row.
#include "engine/bouncer.h"

namespace kelvox {

void TBouncer::ServerClientDisconnect(TWSocketServer*, TWSocketClient* Client, uint16_t) {
  auto* client = static_cast<TTcpSrvClient*>(Client);
  const int slot = client->Slot;
  if (slot < 0 || slot >= kSlotCount) return;  // never had a slot
  const int n = Server.ClientCount();
  try {
    log_.LogEvent(slot + 1, "Disconnected");
    if (settings_.Beep) console_.PlayBeep();
    ShowUserCount(n - 1);
    console_.ClearRow(slot + 1);
    if (auto& link = Links[static_cast<std::size_t>(slot)]) {
      link->Close();
      if (auto& timer = Slots[static_cast<std::size_t>(slot)].CtcpTimer) timer->SetEnabled(false);
    }
  } catch (const std::exception&) {
    // Whatever failed above, the slot must still be given back.
  }
  CompactAfterLeaving(slot);
}

void TBouncer::CompactAfterLeaving(int slot) {
  // The leaving user is still listed: n counts it.
  const int n = std::min(Server.ClientCount(), kSlotCount);
  const auto at = [](int i) { return static_cast<std::size_t>(i); };
  Slots[at(slot)].CtcpTimer.reset();
  Links[at(slot)].reset();
  for (int i = slot; i <= n - 2; ++i) {
    Slots[at(i)] = std::move(Slots[at(i + 1)]);
    Links[at(i)] = std::move(Links[at(i + 1)]);
    console_.MoveRow(i + 2, i + 1);
    console_.SetCell(4, i + 1, std::to_string(i + 1));
  }
  Slots[at(n - 1)] = TMySocket{};
  Links[at(n - 1)].reset();
  console_.ClearRow(n);
  console_.SetRowCount(n + 1);
  for (int i = slot; i <= n - 2; ++i) {
    if (auto& link = Links[at(i)]) {
      link->Tag = i;
      if (auto& timer = Slots[at(i)].CtcpTimer) timer->Tag = i;
    }
    // The listener drops the leaving connection right after this handler, which
    // moves this one to list index i: its slot follows now.
    if (TTcpSrvClient* moved = ClientOfSlot(i + 1)) moved->Slot = i;
  }
}

}  // namespace kelvox
