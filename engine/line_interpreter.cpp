// The user's lines: framing, and what each line does in the user's state
// (awaiting the password, free to give commands, linked to an IRC server).
#include "engine/bouncer.h"
#include "engine/irc_line.h"
#include "net/resolve.h"

namespace kelvox {

void TBouncer::ServerDataAvailable(TWSocket* Sender, uint16_t) {
  auto* client = static_cast<TTcpSrvClient*>(Sender);
  if (client->Slot < 0 || client->Slot >= kSlotCount) return;
  std::string_view line;
  // A line that closes the connection (a wrong password, a failed CONN) ends
  // the reading: the rest is dropped with the connection.
  while (client->State() == wsConnected && client->ReceiveLine(line)) {
    if (line.size() > kMaxLineLength) return LineTooLong(client);
    HandleClientLine(client, line);
  }
  if (client->State() == wsConnected && client->ClientRest().size() > kMaxLineLength) LineTooLong(client);
}

void TBouncer::LineTooLong(TTcpSrvClient* client) {
  SendNotice(client, "   Line too long.\r\n");
  Kick(client->Slot + 1, false);
}

void TBouncer::HandleClientLine(TTcpSrvClient* client, std::string_view line) {
  TMySocket& record = Slots[static_cast<std::size_t>(client->Slot)];
  if (record.Relaying) {
    TWSocket* link = Links[static_cast<std::size_t>(client->Slot)].get();
    const TSocketState state = link != nullptr ? link->State() : wsClosed;
    if (state == wsConnected) {
      if (FirstWordIs(line, "$ctcpprotect") && WholeLineIs(ArgumentAfter(line, "$ctcpprotect"), "off")) {
        record.CtcpProtect = false;
        SendNotice(client, "   CTCP flood protection disabled. /quote $CTCPprotect ON to run it.\r\n");
      } else if (FirstWordIs(line, "$ctcpprotect") && WholeLineIs(ArgumentAfter(line, "$ctcpprotect"), "on")) {
        record.CtcpProtect = true;
        SendNotice(client, "   CTCP flood protection enabled. /quote $CTCPprotect OFF to stop it.\r\n");
      } else {
        link->SendLine(line);
      }
    } else if (state == wsConnecting) {
      Hold(client, line);
    }
    // A link neither connecting nor connected is on its way out: the line goes.
  } else if (FirstWordIs(line, "ping")) {
    // The client's own PINGs are answered while no server can answer them.
    client->SendText("PONG " + ArgumentAfter(line, "ping") + "\r\n");
  } else if (settings_.Identification && !record.Identified) {
    if (FirstWordIs(line, "pass")) {
      CheckPassword(client, std::string(line));
    } else {
      HoldLine(client, line);
    }
  } else if (!RunCommand(client, std::string(line))) {
    HoldLine(client, line);
  }
  TrackNick(client, line);
}

// Held for the IRC server; the real name of a USER line becomes the bouncer's
// web host.
void TBouncer::HoldLine(TTcpSrvClient* client, std::string_view line) {
  if (!FirstWordIs(line, "user")) {
    Hold(client, line);
  } else if (const std::size_t colon = line.find(':'); colon != std::string::npos) {
    Hold(client, std::string(line.substr(0, colon + 1)) + std::string(kWebHost));
  } else {
    Hold(client, std::string(line) + " :" + std::string(kWebHost));
  }
}

void TBouncer::Hold(TTcpSrvClient* client, std::string_view line) {
  std::string& pending = Slots[static_cast<std::size_t>(client->Slot)].Pending;
  if (pending.size() + line.size() + 2 > kMaxPending) {
    SendNotice(client, "   Too many lines held back, bye.\r\n");
    Kick(client->Slot + 1, false);
    return;
  }
  pending.append(line);
  pending.append("\r\n");
}

void TBouncer::CheckPassword(TTcpSrvClient* client, const std::string& line) {
  if (TrimControls(ArgumentAfter(line, "pass")) != settings_.Password) {
    SendNotice(client, "   Bad password.\r\n");
    Kick(client->Slot + 1, false);
    return;
  }
  Slots[static_cast<std::size_t>(client->Slot)].Identified = true;
  console_.SetCell(1, client->Slot + 1, "Waiting...");
  SendNotice(client, GreetingBanner());
  for (const std::string& welcome : settings_.WelcomeText) SendNotice(client, "   " + welcome + "\r\n");
}

void TBouncer::TrackNick(TTcpSrvClient* client, std::string_view line) {
  if (!FirstWordIs(line, "nick") || client->Slot < 0) return;
  std::string nick = ArgumentAfter(line, "nick");
  if (!nick.empty() && nick.front() == ':') nick.erase(0, 1);
  console_.SetCell(0, client->Slot + 1, nick + "@" + checks_.ConvertLocalIp(client->PeerAddr()));
}

}  // namespace kelvox
