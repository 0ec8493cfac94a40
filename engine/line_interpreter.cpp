// The user's lines: framing, and what each line does in the user's state
// (awaiting the password, free to give commands, linked to an IRC server).
#include "engine/line_interpreter.h"

#include <algorithm>

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
  if (!sessions_.IsAttached(slot, Sender)) return;
  std::string_view line;
  // A line that closes the connection (a wrong password, a failed CONN) ends
  // the reading: the rest is dropped with the connection.
  while (Sender->State() == wsConnected && Sender->ReceiveLine(line)) {
    if (line.size() > kMaxLineLength) return LineTooLong(slot);
    HandleClientLine(slot, line, Sender);
  }
  if (Sender->State() == wsConnected && Sender->UnreadText().size() > kMaxLineLength) LineTooLong(slot);
}

void TLineInterpreter::LineTooLong(int slot) {
  Tell(slot, "   Line too long.\r\n");
  sessions_.Kick(slot + 1, false);
}

void TLineInterpreter::HandleClientLine(int slot, std::string_view line, TConnection* from) {
  TMySocket& record = sessions_.Slot(slot);
  if (record.Relaying) {
    TConnection* link = record.Link.get();
    const TSocketState state = link != nullptr ? link->State() : wsClosed;
    if (state == wsConnected && record.Registration && !IsRegistrationLine(line)) {
      Hold(slot, line);  // until the server's welcome
    } else if (state == wsConnected) {
      if (FirstWordIs(line, "$ctcpprotect") && WholeLineIs(ArgumentAfter(line, "$ctcpprotect"), "off")) {
        record.CtcpProtect = false;
        Tell(slot, "   CTCP flood protection disabled. /quote $CTCPprotect ON to run it.\r\n");
      } else if (FirstWordIs(line, "$ctcpprotect") && WholeLineIs(ArgumentAfter(line, "$ctcpprotect"), "on")) {
        record.CtcpProtect = true;
        Tell(slot, "   CTCP flood protection enabled. /quote $CTCPprotect OFF to stop it.\r\n");
      } else if (record.Linger && FirstWordIs(line, "quit")) {
        // A client that quits leaves the session, which stays on the network.
        from->Close();
      } else {
        link->SendLine(line);
        if (record.Linger) {
          links_.Echoed(slot, from, line);
        } else if (record.Tags.Echo) {
          Echo(slot, line);
        }
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
  } else if (FirstWordIs(line, "authenticate")) {
    Authenticate(slot, line);
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

// A client that opens with CAP LS waits for the answer before it registers.
// The bouncer offers what it can keep whatever server the user links to; what
// the client takes is asked of the server at CONN.
void TLineInterpreter::Capabilities(int slot, std::string_view line) {
  TMySocket& record = sessions_.Slot(slot);
  if (!record.Caps) record.Caps = std::make_unique<TUserCaps>();
  TClientCaps& caps = record.Caps->Client;
  std::string replies;
  for (const std::string& reply : caps.Answer(*ParseCapLine(line, false), record.Nick.empty() ? "*" : record.Nick)) {
    replies += reply + "\r\n";
  }
  record.Negotiating = caps.HoldsRegistration();
  if (!replies.empty()) record.Client->SendText(replies);
}

// SASL PLAIN with the bouncer before the link: the credentials are kept for the
// network, never checked here, and go to the server the user links to.
void TLineInterpreter::Authenticate(int slot, std::string_view line) {
  TMySocket& record = sessions_.Slot(slot);
  if (!record.Caps) record.Caps = std::make_unique<TUserCaps>();
  TUserCaps& caps = *record.Caps;
  const std::string nick = record.Nick.empty() ? "*" : record.Nick;
  const std::string argument = TrimControls(ArgumentAfter(line, "authenticate"));
  const std::string failed = ":Kelvox 904 " + nick + " :SASL authentication failed\r\n";
  std::string reply;
  if (!caps.Reading) {
    if (argument == "*") {
      reply = ":Kelvox 906 " + nick + " :SASL authentication aborted\r\n";
    } else if (!caps.Client.Enabled().contains("sasl")) {
      reply = failed;
    } else if (EqualIgnoringCase(argument, "PLAIN")) {
      caps.Reading = std::make_unique<TAuthenticateReader>();
      reply = "AUTHENTICATE +\r\n";
    } else {
      reply = ":Kelvox 908 " + nick + " PLAIN :are available SASL mechanisms\r\n" + failed;
    }
  } else {
    const TAuthenticateReader::TStatus status = caps.Reading->Take(argument);
    if (status == TAuthenticateReader::TStatus::More) return;
    std::optional<TSaslPlain> plain;
    if (status == TAuthenticateReader::TStatus::Done) plain = ReadPlain(caps.Reading->Payload());
    caps.Reading.reset();
    // The account stands as a parameter of the numerics: a blank or a control
    // in it could not be a name anywhere.
    const std::string account = !plain ? "" : plain->Authzid.empty() ? plain->Authcid : plain->Authzid;
    if (argument == "*") {
      reply = ":Kelvox 906 " + nick + " :SASL authentication aborted\r\n";
    } else if (account.empty() || account.front() == ':' ||
               std::any_of(account.begin(), account.end(), [](unsigned char c) { return c <= ' '; })) {
      reply = failed;
    } else {
      caps.Credentials = std::move(plain);
      reply = ":Kelvox 900 " + nick + " " + nick + "!*@* " + account + " :SASL credentials for " + account +
              " kept for the network\r\n:Kelvox 903 " + nick + " :SASL credentials kept for the network\r\n";
    }
  }
  record.Client->SendText(reply);
}

// A client that took echo-message from a server without it gets its messages
// back from the bouncer, as the server would have sent them.
void TLineInterpreter::Echo(int slot, std::string_view line) {
  const TMySocket& record = sessions_.Slot(slot);
  const std::string_view message = WithoutTags(line);
  if (!FirstWordIs(message, "privmsg") && !FirstWordIs(message, "notice")) return;
  const std::string echo = ":" + record.Nick + " " + std::string(message);
  record.Client->SendLine(record.Tags.Time ? ShapeTags(echo, record.Tags, ServerTimeNow()) : echo);
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
