// Lingering sessions on the link: CONN's linger=KEY opens a session or attaches
// the client to the one under that key; while no client is attached the
// server's lines are held, and an attaching client gets its channels, then
// what it missed with the times it was said. Several clients may be attached
// at once: each gets the server's lines, and what one says the others see.
#include <chrono>

#include "access/address_checks.h"
#include "config/settings.h"
#include "engine/event_log.h"
#include "engine/irc_line.h"
#include "engine/linger_key.h"
#include "engine/linger_replay.h"
#include "engine/server_link.h"
#include "engine/session_table.h"

namespace kelvox {

namespace {

// A session a client can attach to: its link has been welcomed by the server.
bool Established(const TMySocket& session) {
  return session.Linger && !session.Linger->Ending && session.Link && session.Link->State() == wsConnected &&
         !session.Registration && !session.Linger->Channels.Nick().empty();
}

// The numeric or command of a server line, without its tags and prefix.
std::string_view Command(std::string_view line) {
  const std::string_view rest = CommandOf(WithoutTags(line));
  return rest.substr(0, rest.find(' '));
}

// The server's 005 lines kept for an attaching client: a few at most.
constexpr std::size_t kMaxSupportLines = 16;

}  // namespace

bool TServerLinks::OpenLinger(int slot, const TConnTarget& target) {
  TMySocket& record = sessions_.Slot(slot);
  record.Linger.reset();
  if (settings_.LingerMinutesValue() == 0) {
    Tell(slot, "   Linger refused: the operator has it off.\r\n");
    return false;
  }
  if (!IsLingerKey(target.LingerKey)) {
    Tell(slot, "   Linger refused: a key is 12 to 64 printable characters, without blanks.\r\n");
    return false;
  }
  const int session = sessions_.FindLinger(target.LingerKey, target.Text());
  if (session < 0) {
    record.Linger = std::make_unique<TLinger>(target.LingerKey, target.Text(), settings_.LingerLinesValue());
    return true;
  }
  if (!Established(sessions_.Slot(session))) {
    Tell(slot, "   Linger: that session is still connecting, try again.\r\n");
    return false;
  }
  // The attach is a task of its own: the user's record leaves the table, which
  // the line being read must not see. Its later lines wait meanwhile.
  record.Identified = true;
  record.Relaying = true;
  record.Resolving = true;
  loop_.Post(alive_.Guard([this, session_id = sessions_.Slot(session).Id, client_id = record.Id] {
    Attach(session_id, client_id);
  }));
  return false;
}

void TServerLinks::KnowFacts(TMySocket& session) {
  TLinger& linger = *session.Linger;
  if (linger.FactsKnown) return;
  linger.FactsKnown = true;
  if (!session.Caps) return;
  linger.Provided = session.Caps->Provided;
  linger.ServerEchoes = session.Caps->Negotiated && session.Caps->Client.Enabled().contains("echo-message") &&
                        !linger.Provided.contains("echo-message");
}

TTagPolicy TServerLinks::AttachedTags(TMySocket& session, const TUserCaps* caps) {
  KnowFacts(session);
  if (caps == nullptr) return {};
  const std::set<std::string>& on = caps->Client.Enabled();
  return TagPolicyOf(on, on.contains("echo-message") && !session.Linger->ServerEchoes);
}

void TServerLinks::Attach(uint64_t session_id, uint64_t client_id) {
  const int at = sessions_.SlotOfId(client_id);
  if (at < 0) return;
  TMySocket& from = sessions_.Slot(at);
  from.Resolving = false;
  if (from.Client->State() != wsConnected) return;  // gone meanwhile: its departure follows
  if (const int session = sessions_.SlotOfId(session_id); session < 0 || !Established(sessions_.Slot(session))) {
    from.Relaying = false;  // free again, for another CONN
    Tell(at, "   Linger: that session has ended.\r\n");
    return;
  }
  std::unique_ptr<TConnection> client = std::move(from.Client);
  std::unique_ptr<TUserCaps> caps = std::move(from.Caps);
  const std::string registered_as = from.Nick;
  const std::string pending = std::move(from.Pending);
  sessions_.Remove(at);

  const int slot = sessions_.SlotOfId(session_id);
  TMySocket& session = sessions_.Slot(slot);
  TLinger& linger = *session.Linger;
  const TTagPolicy tags = AttachedTags(session, caps.get());
  const std::string& nick = linger.Channels.Nick();
  sessions_.BindClient(slot, *client);

  // The session's nick, its server's features and channels, what was missed
  // with its times, then what the ring could not keep.
  std::string burst;
  if (!registered_as.empty() && registered_as != nick) burst += ":" + registered_as + " NICK :" + nick + "\r\n";
  for (const std::string& line : linger.Support) burst += line + "\r\n";
  const TNamesStyle style{caps && caps->Client.Enabled().contains("multi-prefix"),
                          caps && caps->Client.Enabled().contains("userhost-in-names")};
  for (const std::string& line : linger.Channels.Burst(style)) burst += line + "\r\n";
  std::size_t held = 0;
  for (const THeldLine& line : linger.Ring.Since(linger.Seen)) {
    burst += ReplayLine(line.Text, line.Arrived, tags) + "\r\n";
    ++held;
  }
  const std::uint64_t dropped = linger.Ring.MissedSince(linger.Seen);
  linger.Seen = linger.Ring.LastSequence();
  loop_.NoteReleased(linger.Ring.Bytes());
  linger.Ring.Clear();
  burst += BouncerNotice(nick, "   Linger: " + std::to_string(held) + " lines held while no client was attached, " +
                                   std::to_string(dropped) + " dropped.\r\n");
  log_.LogEvent(slot + 1, "Attached");
  // The client takes its place before the burst, whose size may hold the slot back.
  TConnection& attached = *client;

  if (linger.Detached) {
    // The client takes the record's place: the session is back on the network.
    const std::string address = client->PeerAddr();
    session.Client = std::move(client);
    if (caps) {
      caps->Provided = linger.Provided;
      caps->Negotiated = session.Caps && session.Caps->Negotiated;
    }
    session.Caps = std::move(caps);
    session.Tags = tags;
    linger.Detached = false;
    linger.MinutesLeft = -1;
    sessions_.ShowNick(slot, nick, nick + "@" + checks_.ConvertLocalIp(address));
    sessions_.ShowStatus(slot, "Connected to IRC.");
    session.Link->SendLine("AWAY");
    ++linger.AwayReplies;
  } else {
    linger.Others.push_back({std::move(client), tags});
  }
  attached.SendText(burst);
  // What the client said before the attach, but its registration: the link has one.
  ForEachHeldLine(pending, [&](std::string_view line) {
    if (line.ends_with("\r\n")) line.remove_suffix(2);
    if (!IsRegistrationLine(line) && !FirstWordIs(line, "cap")) session.Link->SendLine(line);
  });
}

void TServerLinks::RelayLingering(int slot, std::string_view line) {
  TMySocket& record = sessions_.Slot(slot);
  TLinger& linger = *record.Linger;
  linger.Channels.Take(line);
  const std::string_view command = Command(line);
  if (command == "001") linger.Support.clear();
  if (command == "005" && linger.Support.size() < kMaxSupportLines) linger.Support.emplace_back(WithoutTags(line));
  // The answers to the bouncer's own AWAY lines are the bouncer's.
  if ((command == "305" || command == "306") && linger.AwayReplies > 0) {
    --linger.AwayReplies;
    return;
  }
  if (linger.Detached) {
    linger.Ring.Hold(line, std::chrono::system_clock::now());
    return;
  }
  if (!record.LinkOpen) return;
  if (record.Client->State() == wsConnected) SendShaped(*record.Client, record.Tags, line);
  for (TAttached& other : linger.Others) {
    if (other.Client->State() == wsConnected) SendShaped(*other.Client, other.Tags, line);
  }
}

void TServerLinks::Echoed(int slot, const TConnection* from, std::string_view line) {
  TMySocket& record = sessions_.Slot(slot);
  const std::string_view message = WithoutTags(line);
  if (!FirstWordIs(message, "privmsg") && !FirstWordIs(message, "notice")) return;
  KnowFacts(record);
  const std::string echo = ":" + record.Linger->Channels.Self() + " " + std::string(message);
  const std::string now = ServerTimeNow();
  // The sender sees its message only when it took echo-message; the others
  // see it as the server would show it to them, unless the server echoes.
  const auto give = [&](TConnection* client, const TTagPolicy& tags) {
    if (client->State() != wsConnected || (client == from ? !tags.Echo : record.Linger->ServerEchoes)) return;
    client->SendLine(tags.Time ? ShapeTags(echo, tags, now) : echo);
  };
  give(record.Client.get(), record.Tags);
  for (TAttached& other : record.Linger->Others) give(other.Client.get(), other.Tags);
}

}  // namespace kelvox
