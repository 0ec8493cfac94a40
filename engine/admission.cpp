// Admission: a connection the listener has just taken gets its slot and grid
// row, then passes the user limit, the ban list and the access rule, in that
// order, and is asked for the password or greeted.
#include "access/address_checks.h"
#include "base/decimal.h"
#include "config/settings.h"
#include "engine/console.h"
#include "engine/event_log.h"
#include "engine/session_table.h"

namespace kelvox {

void TSessionTable::ServerClientConnect(std::unique_ptr<TConnection> client) {
  if (Count() >= kSlotCount) {
    client->Close();  // no slot left: closed at once, without a notice
    return;
  }
  ++Counters.UsersAdmitted;
  TMySocket& record = slots_.emplace_back();
  record.Id = next_id_++;
  record.Client = std::move(client);
  TConnection& connection = *record.Client;
  connection.Tag = Count() - 1;
  // Every end of the connection, however it comes, leads to one departure. A
  // user on the TLS port whose handshake failed ends here too, before any line.
  connection.OnChangeState = [this, id = record.Id](TConnection* sender, TSocketState, TSocketState to) {
    if (to != wsClosed) return;
    if (sender->TlsHandshakeFailed()) ++Counters.FailedTlsHandshakes;
    PostDeparture(id);
  };
  try {
    Admit(record);
  } catch (const std::exception&) {
    // A failing admission ends this user only; the listener serves the next.
    connection.Close();
  }
}

int TSessionTable::WaitingFrom(const std::string& address) const {
  int waiting = 0;
  for (const TMySocket& record : slots_) {
    if (!record.Identified && record.Client->State() == wsConnected && record.Client->PeerAddr() == address) ++waiting;
  }
  return waiting;
}

void TSessionTable::Admit(TMySocket& record) {
  const int n = Count();
  const int slot = n - 1;
  TConnection* client = record.Client.get();
  if (settings_.Beep) console_.PlayBeep();
  client->OnDataAvailable = [this](TConnection* s, uint16_t e) {
    if (OnClientData) OnClientData(s, e);
  };
  client->OnBufferHigh = [this](TConnection* s) { HoldSlot(s->Tag); };
  client->OnBufferLow = [this](TConnection* s) { ReleaseSlot(s->Tag); };
  record.ConnectTime = Now();
  record.AdmittedAt = TEventLoop::Clock::now();
  if (!watch_timer_.Enabled()) {
    watch_timer_.SetInterval(static_cast<int>(WatchInterval.count()));
    watch_timer_.SetEnabled(true);
  }
  ShowUserCount(n);
  record.Status = settings_.Identification ? "Identification..." : "Waiting...";
  DrawRow(n - 1);
  console_.SetRowCount(n + 2);
  console_.SetCell(4, n + 1, "");

  const int max_users = ParseDecimal(settings_.Max);
  if (max_users >= 0 && n > max_users) {
    ++Counters.RefusedMax;
    Tell(slot, "   Too many connections, bye.\r\n");
    client->Close();
    return;
  }
  if (WaitingFrom(client->PeerAddr()) > kMaxWaitingPerAddress) {
    ++Counters.RefusedPerAddress;
    Tell(slot, "   Too many connections from your address, bye.\r\n");
    client->Close();
    return;
  }
  // The address is converted afresh for each check: a user on this machine is
  // judged under the machine's own address.
  const TListMode access = settings_.AccessMode;
  if (checks_.InMaskList(settings_.BanList.Entries(), checks_.ConvertLocalIp(client->PeerAddr()))) {
    ++Counters.RefusedBan;
    Tell(slot, "   You are banned, Bye.\r\n");
    client->Close();
  } else if (access != TListMode::all &&
             checks_.InMaskList(settings_.AccessList.Entries(), checks_.ConvertLocalIp(client->PeerAddr())) !=
                 (access == TListMode::only)) {
    ++Counters.RefusedAccess;
    Tell(slot, "   You are not welcome, Bye.\r\n");
    client->Close();
  } else if (settings_.Identification) {
    Tell(slot, "   Enter your password. /quote PASS <password>\r\n");
  } else {
    Tell(slot, GreetingBanner());
    log_.LogEvent(-1, checks_.ConvertLocalIp(client->PeerAddr()) + " Connected to Kelvox");
    for (const std::string& line : settings_.WelcomeText) Tell(slot, "   " + line + "\r\n");
  }
}

}  // namespace kelvox
