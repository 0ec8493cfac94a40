// The user's lines: framing, and what each line does in the user's state
// (awaiting the password, free to give commands, linked to an IRC server).
#include "engine/line_interpreter.h"

#include "access/address_checks.h"
#include "base/web_site.h"
#include "config/settings.h"
#include "engine/irc_line.h"
#include "engine/server_link.h"
#include "engine/session_table.h"
#include "net/resolve.h"

namespace kelvox {

TLineInterpreter::TLineInterpreter(TSessionTable& sessions, TServerLinks& links, const TSettings& settings,
                                   const TAddressChecks& checks, const TDateTime& running_since,
                                   const TDateTime& listening_since)
    : sessions_(sessions),
      links_(links),
      settings_(settings),
      checks_(checks),
      running_since_(running_since),
      listening_since_(listening_since) {}

void TLineInterpreter::Tell(int slot, std::string_view text) { sessions_.Tell(slot, text); }

void TLineInterpreter::ServerDataAvailable(TConnection* Sender, uint16_t) {
  const int slot = Sender->Tag;
  if (sessions_.ClientOfSlot(slot) != Sender) return;
  std::string_view line;
  // A line that closes the connection (a wrong password, a failed CONN) ends
  // the reading: the rest is dropped with the connection.
  while (Sender->State() == wsConnected && Sender->ReceiveLine(line)) {
    if (line.size() > kMaxLineLength) return LineTooLong(slot);
    HandleClientLine(slot, line);
  }
  if (Sender->State() == wsConnected && Sender->UnreadText().size() > kMaxLineLength) LineTooLong(slot);
}

void TLineInterpreter::LineTooLong(int slot) {
  Tell(slot, "   Line too long.\r\n");
  sessions_.Kick(slot + 1, false);
}

void TLineInterpreter::HandleClientLine(int slot, std::string_view line) {
  TMySocket& record = sessions_.Slot(slot);
  if (record.Relaying) {
    TConnection* link = record.Link.get();
    const TSocketState state = link != nullptr ? link->State() : wsClosed;
    if (state == wsConnected) {
      if (FirstWordIs(line, "$ctcpprotect") && WholeLineIs(ArgumentAfter(line, "$ctcpprotect"), "off")) {
        record.CtcpProtect = false;
        Tell(slot, "   CTCP flood protection disabled. /quote $CTCPprotect ON to run it.\r\n");
      } else if (FirstWordIs(line, "$ctcpprotect") && WholeLineIs(ArgumentAfter(line, "$ctcpprotect"), "on")) {
        record.CtcpProtect = true;
        Tell(slot, "   CTCP flood protection enabled. /quote $CTCPprotect OFF to stop it.\r\n");
      } else {
        link->SendLine(line);
      }
    } else if (state == wsConnecting || record.Resolving) {
      Hold(slot, line);
    }
    // A link neither on its way nor connected is on its way out: the line goes.
  } else if (FirstWordIs(line, "ping")) {
    // The client's own PINGs are answered while no server can answer them.
    record.Client->SendText("PONG " + ArgumentAfter(line, "ping") + "\r\n");
  } else if (settings_.Identification && !record.Identified) {
    if (FirstWordIs(line, "pass")) {
      CheckPassword(slot, std::string(line));
    } else {
      HoldLine(slot, line);
    }
  } else if (!RunCommand(slot, std::string(line))) {
    HoldLine(slot, line);
  }
  TrackNick(slot, line);
}

// Held for the IRC server; the real name of a USER line becomes the bouncer's
// web host.
void TLineInterpreter::HoldLine(int slot, std::string_view line) {
  if (!FirstWordIs(line, "user")) {
    Hold(slot, line);
  } else if (const std::size_t colon = line.find(':'); colon != std::string::npos) {
    Hold(slot, std::string(line.substr(0, colon + 1)) + std::string(kWebHost));
  } else {
    Hold(slot, std::string(line) + " :" + std::string(kWebHost));
  }
}

void TLineInterpreter::Hold(int slot, std::string_view line) {
  std::string& pending = sessions_.Slot(slot).Pending;
  if (pending.size() + line.size() + 2 > kMaxPending) {
    Tell(slot, "   Too many lines held back, bye.\r\n");
    sessions_.Kick(slot + 1, false);
    return;
  }
  pending.append(line);
  pending.append("\r\n");
}

void TLineInterpreter::CheckPassword(int slot, const std::string& line) {
  if (TrimControls(ArgumentAfter(line, "pass")) != settings_.Password) {
    Tell(slot, "   Bad password.\r\n");
    sessions_.Kick(slot + 1, false);
    return;
  }
  sessions_.Slot(slot).Identified = true;
  sessions_.ShowStatus(slot, "Waiting...");
  Tell(slot, GreetingBanner());
  for (const std::string& welcome : settings_.WelcomeText) Tell(slot, "   " + welcome + "\r\n");
}

void TLineInterpreter::TrackNick(int slot, std::string_view line) {
  if (!FirstWordIs(line, "nick")) return;
  std::string nick = ArgumentAfter(line, "nick");
  if (!nick.empty() && nick.front() == ':') nick.erase(0, 1);
  // The target of the user's notices is the nick alone; the grid shows the text.
  const std::string target = nick.substr(0, nick.find(' '));
  sessions_.ShowNick(slot, target.empty() ? sessions_.Slot(slot).Nick : target,
                     nick + "@" + checks_.ConvertLocalIp(sessions_.ClientOfSlot(slot)->PeerAddr()));
}

}  // namespace kelvox
