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
  } else if (FirstWordIs(line, "cap")) {
    Capabilities(slot, line);
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
  Welcome(slot);
}

// Held for the IRC server; the real name of a USER line becomes the bouncer's
// web host.
void TLineInterpreter::HoldLine(int slot, std::string_view line) {
  if (!FirstWordIs(line, "user")) return Hold(slot, line);
  sessions_.Slot(slot).GaveUser = true;
  if (const std::size_t colon = line.find(':'); colon != std::string::npos) {
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

// A client that opens with CAP LS waits for the answer before it registers. The
// bouncer offers no capability: the client registers plainly, and once linked
// its lines, CAP included, go to the IRC server as they are.
void TLineInterpreter::Capabilities(int slot, std::string_view line) {
  TMySocket& record = sessions_.Slot(slot);
  const std::string words = ArgumentAfter(line, "cap");
  const std::string subcommand = LowerAscii(words.substr(0, words.find(' ')));
  const std::string target = record.Nick.empty() ? "*" : record.Nick;
  std::string reply;
  if (subcommand == "ls" || subcommand == "list") {
    if (subcommand == "ls") record.Negotiating = true;
    reply = "CAP " + target + (subcommand == "ls" ? " LS :" : " LIST :");
  } else if (subcommand == "req") {
    record.Negotiating = true;
    std::string wanted = ArgumentAfter(words, "req");
    if (!wanted.empty() && wanted.front() == ':') wanted.erase(0, 1);
    reply = "CAP " + target + " NAK :" + wanted;
  } else if (subcommand == "end") {
    record.Negotiating = false;
    return;
  } else {
    reply = "410 " + target + " " + words.substr(0, words.find(' ')) + " :Invalid CAP command";
  }
  record.Client->SendText(":Kelvox " + reply + "\r\n");
}

// Clients send their on-connect commands (CONN among them) only after a
// welcome, so a registered client gets one from the bouncer before the link.
// The IRC server's own welcome follows on the link.
void TLineInterpreter::Welcome(int slot) {
  TConnection* client = sessions_.ClientOfSlot(slot);
  if (client == nullptr || client->State() != wsConnected) return;
  TMySocket& record = sessions_.Slot(slot);
  const bool free = !settings_.Identification || record.Identified;
  if (record.Welcomed || record.Relaying || record.Negotiating || !free || !record.GaveUser || record.Nick.empty()) {
    return;
  }
  record.Welcomed = true;
  client->SendText(":Kelvox 001 " + record.Nick + " :Welcome to Kelvox, " + record.Nick +
                   ". /quote CONN host[:port] links you to an IRC server.\r\n"
                   ":Kelvox 422 " + record.Nick + " :/quote HELP lists the bouncer's commands.\r\n");
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
