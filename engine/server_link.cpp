// A user's link to an IRC server: CONN sets it up, its four handlers relay.
#include "engine/bouncer.h"
#include "engine/irc_line.h"

namespace kelvox {

// The slot's link, closed and ready for new settings: an earlier CONN's link is
// reused (it never connected: the destination rule refused it), else made.
TWSocket& TBouncer::PrepareLink(int slot) {
  std::unique_ptr<TWSocket>& link = Links[static_cast<std::size_t>(slot)];
  if (link) {
    link->Close();
  } else {
    link = std::make_unique<TWSocket>(loop_);
  }
  return *link;
}

void TBouncer::Conn(TTcpSrvClient* client, const std::string& line) {
  const int slot = client->Slot;
  TMySocket& record = Slots[static_cast<std::size_t>(slot)];
  TWSocket& link = PrepareLink(slot);
  const std::string argument = ArgumentAfter(line, "conn");
  link.SetLocalAddr(record.LocalIp);
  record.CtcpProtect = settings_.CTCPProtect;
  // A new window timer, running from now: the first window opens with CONN.
  record.CtcpTimer = std::make_unique<TTimer>(loop_);
  record.CtcpCount = 0;
  record.Identified = true;
  record.CtcpTimer->SetInterval(kCtcpWindowMs);
  record.CtcpTimer->OnTimer = [this](TTimer* t) { Timercommun(t); };
  record.CtcpTimer->Tag = slot;
  record.CtcpTimer->SetEnabled(true);

  const std::size_t colon = argument.find(':');
  link.SetAddr(colon == std::string::npos ? argument : argument.substr(0, colon));
  link.SetPort(colon == std::string::npos ? "6667" : argument.substr(colon + 1));
  link.SetProto("tcp");
  link.MultiThreaded = true;
  link.OnSessionConnected = [this](TWSocket* s, uint16_t e) { ConnectCommune(s, e); };
  link.OnDataAvailable = [this](TWSocket* s, uint16_t e) { ReadCommune(s, e); };
  link.OnSessionClosed = [this](TWSocket* s, uint16_t e) { DeConnectCommune(s, e); };
  link.OnChangeState = [this](TWSocket* s, TSocketState from, TSocketState to) {
    ChangeStateCommune(s, from, to);
  };
  BindFlow(link, [](TWSocket* s) { return s->Tag; });
  if (record.Held) {
    link.PauseReading();
  } else {
    link.ResumeReading();
  }
  link.Tag = slot;

  if (!DestinationAllowed(client, link.Addr())) return;
  try {
    link.Connect();
  } catch (const ESocketException& e) {
    const std::string message = e.what();
    // The failed bind is told by its own message, not by the word anywhere: a
    // server named "bind.example.net" that does not resolve is no bind failure.
    if (message.rfind("winsock.bind", 0) == 0) {
      SendNotice(client, "   Error, IP not available: " + record.LocalIp + "\r\n");
    }
    if (message.find("WSocketResolveHost") != std::string::npos) {
      SendNotice(client, "   Error, can't resolve server hostname: " + link.Addr() + "\r\n");
    }
    Kick(slot + 1, false);
    return;
  } catch (const std::exception&) {
    SendNotice(client, "   Error during connection\r\n");
    Kick(slot + 1, false);
    return;
  }
  record.LinkOpen = true;
  record.Relaying = true;
  SendNotice(client, "   Connecting to server...\r\n");
  console_.SetCell(1, slot + 1, "Connecting to server...");
  console_.SetCell(2, slot + 1, link.Addr() + ":" + link.Port());
}

bool TBouncer::DestinationAllowed(TTcpSrvClient* client, const std::string& server) {
  const TListMode mode = settings_.DestinationMode;
  if (mode == TListMode::all || checks_.InServerList(settings_.DestinationList.Entries(), server) == (mode == TListMode::only)) return true;
  SendNotice(client, "   Destination server not allowed.\r\n");
  SendNotice(client, mode == TListMode::only ? "   Allowed servers list:\r\n" : "   Ban servers list:\r\n");
  for (const std::string& entry : settings_.DestinationList) SendNotice(client, "   - " + entry + "\r\n");
  return false;
}

void TBouncer::ChangeStateCommune(TWSocket* Sender, TSocketState OldState, TSocketState) {
  // Only an attempt that succeeded counts: a refused one also passes through
  // the connected state, with its error.
  if (OldState != wsConnecting || Sender->State() != wsConnected || Sender->LastError() != 0) return;
  const int row = Sender->Tag + 1;
  console_.SetCell(1, row, "Connected to IRC.");
  log_.LogEvent(row, "Connected to " + console_.GetCell(2, row));
  TMySocket& record = SlotOf(Sender);
  if (!record.Pending.empty()) Sender->SendText(record.Pending);
  std::string().swap(record.Pending);  // its memory too: it is not needed again
}

void TBouncer::ConnectCommune(TWSocket* Sender, uint16_t Error) {
  if (Error != 0) return;  // the close that follows tells the user
  try {
    SendNotice(ClientOfSlot(Sender->Tag), "   Connected to the IRC server.\r\n");
  } catch (const std::exception&) {
    // The user is already on its way out.
  }
}

void TBouncer::DeConnectCommune(TWSocket* Sender, uint16_t) {
  TTcpSrvClient* client = ClientOfSlot(Sender->Tag);
  if (client == nullptr || client->State() != wsConnected) return;
  SendNotice(client, "   Disconnected from the IRC server.\r\n");
  Kick(Sender->Tag + 1, false);
}

void TBouncer::ReadCommune(TWSocket* Sender, uint16_t) {
  const int slot = Sender->Tag;
  std::string_view line;
  while (Sender->State() == wsConnected && Sender->ReceiveLine(line)) {
    if (line.size() > kMaxLineLength) break;
    // The server's PINGs are the bouncer's to answer, whether or not the user
    // is there to see them.
    if (settings_.AutoPong && line.size() >= 4 && EqualIgnoringCase(line.substr(0, 4), "ping")) {
      const std::size_t colon = line.find(':');
      Sender->SendLine("PONG :" + std::string(colon == std::string_view::npos ? line : line.substr(colon + 1)));
    } else if (line.find('\x01') != std::string_view::npos && LowerAscii(line).find("privmsg") != std::string::npos) {
      GuardCtcp(slot, line);
    } else {
      Relay(slot, line);
    }
  }
  if (Sender->State() == wsConnected &&
      (line.size() > kMaxLineLength || Sender->UnreadText().size() > kMaxLineLength)) {
    Sender->Close();  // a server that sends no line ends is treated as lost
  }
}

void TBouncer::Relay(int slot, std::string_view line) {
  TTcpSrvClient* client = ClientOfSlot(slot);
  if (client == nullptr || client->State() != wsConnected || !Slots[static_cast<std::size_t>(slot)].LinkOpen) return;
  // Written behind: the lines of one read leave together after it.
  client->SendLine(line);
}

}  // namespace kelvox
