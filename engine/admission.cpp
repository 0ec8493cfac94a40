// Admission: a connection the listener has just listed gets its slot and grid
// row, then passes the user limit, the ban list and the access rule, in that
// order, and is asked for the password or greeted.
#include "base/decimal.h"
#include "engine/bouncer.h"

namespace kelvox {

int TBouncer::MaxUsers() const { return ParseDecimal(settings_.Max); }

void TBouncer::ResetSlotFlags(int slot) {
  TMySocket& record = Slots[static_cast<std::size_t>(slot)];
  record.Identified = record.Admin = record.LinkOpen = record.Relaying = record.Held = false;
  record.Pending.clear();
}

void TBouncer::ServerClientConnect(TWSocketServer*, TWSocketClient* Client, uint16_t) {
  auto* client = static_cast<TTcpSrvClient*>(Client);
  const int n = Server.ClientCount();
  if (n > kSlotCount) {
    client->Close();  // no slot left: closed at once, without a notice
    return;
  }
  try {
    Admit(client);
  } catch (const std::exception&) {
    // A failing admission ends this user only; the listener serves the next.
    client->Slot = n - 1;
    client->Close();
  }
}

void TBouncer::Admit(TTcpSrvClient* client) {
  const int n = Server.ClientCount();
  if (settings_.Beep) console_.PlayBeep();
  client->Slot = n - 1;
  client->OnDataAvailable = [this](TWSocket* s, uint16_t e) { ServerDataAvailable(s, e); };
  BindFlow(*client, [](TWSocket* s) { return static_cast<TTcpSrvClient*>(s)->Slot; });
  client->ConnectTime = Now();
  ShowUserCount(n);

  console_.SetCell(1, n, settings_.Identification ? "Identification..." : "Waiting...");
  console_.SetCell(3, n, LongTimeText(Now()));
  console_.SetCell(4, n, std::to_string(n));
  console_.SetRowCount(n + 2);
  console_.SetCell(4, n + 1, "");

  const int max_users = MaxUsers();
  if (max_users >= 0 && n > max_users) {
    SendNotice(client, "   Too many connections, bye.\r\n");
    client->Close();
    return;
  }
  // The address is converted afresh for each check: a user on this machine is
  // judged under the machine's own address.
  if (checks_.InMaskList(settings_.BanList.Entries(), checks_.ConvertLocalIp(client->PeerAddr()))) {
    SendNotice(client, "   You are banned, Bye.\r\n");
    client->Close();
  } else if ((settings_.AccessMode == TListMode::only &&
              !checks_.InMaskList(settings_.AccessList.Entries(), checks_.ConvertLocalIp(client->PeerAddr()))) ||
             (settings_.AccessMode == TListMode::except &&
              checks_.InMaskList(settings_.AccessList.Entries(), checks_.ConvertLocalIp(client->PeerAddr())))) {
    SendNotice(client, "   You are not welcome, Bye.\r\n");
    client->Close();
  } else if (settings_.Identification) {
    SendNotice(client, "   Enter your password. /quote PASS <password>\r\n");
  } else {
    SendNotice(client, GreetingBanner());
    log_.LogEvent(-1, checks_.ConvertLocalIp(client->PeerAddr()) + " Connected to Kelvox");
    for (const std::string& line : settings_.WelcomeText) SendNotice(client, "   " + line + "\r\n");
  }
  ResetSlotFlags(client->Slot);
}

}  // namespace kelvox
