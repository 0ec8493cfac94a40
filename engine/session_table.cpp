#include "engine/session_table.h"

#include "base/date_time.h"
#include "config/settings.h"
#include "engine/console.h"

namespace kelvox {

TSessionTable::TSessionTable(TEventLoop& loop, const TSettings& settings, TConsole& console, TAddressChecks& checks,
                             TEventLog& log)
    : loop_(loop), settings_(settings), console_(console), checks_(checks), log_(log), watch_timer_(loop) {
  slots_.reserve(kSlotCount);
  watch_timer_.OnTimer = [this](TTimer* t) { Watch(t); };
}

TConnection* TSessionTable::ClientOfSlot(int slot) const {
  if (slot < 0 || slot >= Count()) return nullptr;
  return slots_[static_cast<std::size_t>(slot)].Client.get();
}

int TSessionTable::SlotOfId(uint64_t id) const {
  for (int slot = 0; slot < Count(); ++slot) {
    if (slots_[static_cast<std::size_t>(slot)].Id == id) return slot;
  }
  return -1;
}

void TSessionTable::DrawRow(int slot) {
  const TMySocket& record = Slot(slot);
  const int row = slot + 1;
  console_.SetCell(0, row, record.Identity);
  console_.SetCell(1, row, record.Status);
  console_.SetCell(2, row, record.Server);
  console_.SetCell(3, row, LongTimeText(record.ConnectTime));
  console_.SetCell(4, row, std::to_string(row));
}

void TSessionTable::ShowNick(int slot, std::string nick, std::string identity) {
  Slot(slot).Nick = std::move(nick);
  Slot(slot).Identity = std::move(identity);
  console_.SetCell(0, slot + 1, Slot(slot).Identity);
}

void TSessionTable::Tell(int slot, std::string_view text) {
  if (slot < 0 || slot >= Count()) return;
  const TMySocket& record = Slot(slot);
  // Only a connection that can be written to: one that is closing gets nothing.
  if (record.Client->State() == wsConnected) record.Client->SendText(BouncerNotice(record.Nick, text));
  if (!record.Linger) return;
  for (const TAttached& other : record.Linger->Others) {
    if (other.Client->State() == wsConnected) other.Client->SendText(BouncerNotice(record.Nick, text));
  }
}

void TSessionTable::ShowStatus(int slot, std::string status) {
  Slot(slot).Status = std::move(status);
  console_.SetCell(1, slot + 1, Slot(slot).Status);
}

void TSessionTable::ShowServer(int slot, std::string server) {
  Slot(slot).Server = std::move(server);
  console_.SetCell(2, slot + 1, Slot(slot).Server);
}

void TSessionTable::ShowUserCount(int count) {
  console_.SetUserCount(std::to_string(count));
  console_.SetTrayHint("Kelvox - ONLINE (" + std::to_string(count) + " users)");
}

void TSessionTable::Kick(int tag, bool with_notice) {
  // A lingering session ends whole, with its QUIT, attached or not.
  if (tag >= 1 && tag <= Count() && Slot(tag - 1).Linger) return EndSession(tag - 1, with_notice);
  TConnection* client = ClientOfSlot(tag - 1);
  if (client == nullptr || client->State() != wsConnected) return;
  if (with_notice) Tell(tag - 1, "   You were kicked by the administrator.\r\n");
  client->Close();
}

void TSessionTable::CloseAll() {
  for (int slot = 0; slot < Count(); ++slot) {
    TMySocket& record = Slot(slot);
    Tell(slot, "   Disconnection - Bouncer is down.\r\n");
    if (record.Linger) {
      EndSession(slot, false);
      continue;
    }
    record.Client->Close();
    if (record.Link) record.Link->Close();
  }
}

}  // namespace kelvox
