// A user's link to an IRC server: CONN sets it up, its four handlers relay.
#include "engine/server_link.h"

#include <algorithm>
#include <optional>

#include "access/address_checks.h"
#include "base/text_case.h"
#include "config/settings.h"
#include "engine/event_log.h"
#include "engine/irc_line.h"
#include "engine/session_table.h"
#include "net/resolve.h"

namespace kelvox {

namespace {

// The number of a port text, nullopt when it is none.
std::optional<uint16_t> PortNumber(const std::string& port) {
  try {
    return WSocketResolvePort(port, "tcp");
  } catch (const ESocketException&) {
    return std::nullopt;
  }
}

// The value of an option that is a word of its own ("sasl=", "linger="), wherever
// it stands after the server, trimmed of controls; the word is taken out of the
// text, so the server's fields never see it. Empty when the text has none.
std::string TakeOption(std::string& text, std::string_view blank_and_name) {
  const std::string_view name = blank_and_name.substr(1);
  // A word begins after a blank or a control, as the server's name is trimmed of both.
  const auto next_word = [&] {
    const std::string lower = LowerAscii(text);
    for (std::size_t at = lower.find(name, 1); at != std::string::npos; at = lower.find(name, at + 1)) {
      if (static_cast<unsigned char>(lower[at - 1]) <= 0x20) return at - 1;
    }
    return std::string::npos;
  };
  std::optional<std::string> value;
  // Every such word goes, so that none is left in the server's name: the name
  // as the grid shows it reads back as the same server.
  for (std::size_t start; (start = next_word()) != std::string::npos;) {
    const std::size_t end = std::min(text.find(' ', start + 1), text.size());
    if (!value) value = TrimControls(text.substr(start + blank_and_name.size(), end - start - blank_and_name.size()));
    text.erase(start, end - start);
  }
  return value.value_or("");
}

}  // namespace

std::string TConnTarget::Text() const {
  // An IPv6 address (and anything that would read as one) goes in brackets, and
  // so does a name that would read as a key: a key is taken even where the
  // server's name should stand.
  const bool bracket = Host.find(':') != std::string::npos || Host.starts_with('[') ||
                       LowerAscii(Host).starts_with("linger=");
  return (bracket ? "[" + Host + "]" : Host) + (Tls ? ":+" : ":") + Port;
}

TConnTarget ParseConnTarget(const std::string& argument) {
  TConnTarget target;
  // The key is taken even where the server's name should stand, so that it is
  // never shown as one.
  std::string text = " " + argument;
  target.LingerKey = TakeOption(text, " linger=");
  text.erase(0, 1);  // the blank put before it, or the one after a key taken from there
  target.PlainInsecure = LowerAscii(TakeOption(text, " sasl=")) == "plain-insecure";
  // A fingerprint holds colons of its own: it is taken off first.
  if (const std::size_t fp = LowerAscii(text).find(" fp="); fp != std::string::npos) {
    target.Fingerprint = TrimControls(text.substr(fp + 4));
    text.erase(fp);
  }
  // An IPv6 address holds colons too: it comes in brackets, "[2001:db8::1]:6667".
  // Blanks and controls before it are trimmed, as around a host name.
  const auto first =
      std::find_if(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) > 0x20; });
  const std::size_t start = first == text.end() ? std::string::npos : static_cast<std::size_t>(first - text.begin());
  const std::size_t close = start != std::string::npos && text[start] == '[' ? text.find(']', start) : std::string::npos;
  const std::size_t colon = text.find(':', close == std::string::npos ? 0 : close);
  target.Host = close != std::string::npos
                    ? text.substr(start + 1, close - start - 1)
                    : TrimControls(colon == std::string::npos ? text : text.substr(0, colon));
  if (colon != std::string::npos) target.Port = TrimControls(text.substr(colon + 1));
  if (!target.Port.empty() && target.Port.front() == '+') {
    target.Tls = true;
    target.Port = TrimControls(target.Port.substr(1));
  }
  if (!target.Tls) target.Fingerprint.clear();  // a pin means nothing without TLS
  return target;
}

TServerLinks::TServerLinks(TEventLoop& loop, TTransport& transport, TSessionTable& sessions,
                           const TSettings& settings, const TAddressChecks& checks, TEventLog& log)
    : loop_(loop),
      transport_(transport),
      sessions_(sessions),
      settings_(settings),
      checks_(checks),
      log_(log),
      watch_timer_(loop) {
  watch_timer_.OnTimer = [this](TTimer* t) { Watch(t); };
}

void TServerLinks::Tell(int slot, std::string_view text) { sessions_.Tell(slot, text); }

// An earlier CONN's link is reused (it never connected: the destination rule
// refused it), else one is made.
TConnection& TServerLinks::PrepareLink(int slot) {
  std::unique_ptr<TConnection>& link = sessions_.Slot(slot).Link;
  if (link) {
    link->Close();
    return *link;
  }
  link = transport_.NewConnection();
  link->OnSessionConnected = [this](TConnection* s, uint16_t e) { ConnectCommune(s, e); };
  link->OnDataAvailable = [this](TConnection* s, uint16_t e) { ReadCommune(s, e); };
  link->OnSessionClosed = [this](TConnection* s, uint16_t e) { DeConnectCommune(s, e); };
  link->OnChangeState = [this](TConnection* s, TSocketState from, TSocketState to) {
    ChangeStateCommune(s, from, to);
  };
  link->OnBufferHigh = [this](TConnection* s) { sessions_.HoldSlot(s->Tag); };
  link->OnBufferLow = [this](TConnection* s) { sessions_.ReleaseSlot(s->Tag); };
  return *link;
}

void TServerLinks::Conn(int slot, const std::string& line) {
  const TConnTarget target = ParseConnTarget(ArgumentAfter(line, "conn"));
  if (!target.LingerKey.empty() && !OpenLinger(slot, target)) return;
  TMySocket& record = sessions_.Slot(slot);
  TConnection& link = PrepareLink(slot);
  link.Tag = slot;
  if (record.Held) {
    link.PauseReading();
  } else {
    link.ResumeReading();
  }
  record.CtcpProtect = settings_.CTCPProtect;
  // A new window timer, running from now: the first window opens with CONN.
  record.CtcpTimer = std::make_unique<TTimer>(loop_);
  record.CtcpCount = 0;
  record.Identified = true;
  record.CtcpTimer->SetInterval(kCtcpWindowMs);
  record.CtcpTimer->OnTimer = [this](TTimer* t) { Timercommun(t); };
  record.CtcpTimer->Tag = slot;
  record.CtcpTimer->SetEnabled(true);

  if (record.Caps) {
    record.Caps->LinkTls = target.Tls;
    record.Caps->PlainInsecure = target.PlainInsecure;
  }
  // What fails before any lookup ends the user without a word, as a connect
  // without a server, without a port or with a port that is none would.
  const std::optional<uint16_t> port_number = target.Host.empty() ? std::nullopt : PortNumber(target.Port);
  if (!port_number) {
    sessions_.Kick(slot + 1, false);
    return;
  }
  // One lookup serves the destination rule and the connect. Meanwhile the
  // user's lines wait, as they do while the link connects.
  record.Relaying = true;
  record.Resolving = true;
  transport_.ResolveHost(target.Host,
                         alive_.Guard([this, id = record.Id, target, port = *port_number](const TResolution& answer) {
                           Resolved(id, target, port, answer);
                         }));
}

void TServerLinks::Resolved(uint64_t id, const TConnTarget& target, uint16_t port_number,
                            const TResolution& answer) {
  const std::string& host = target.Host;
  const int slot = sessions_.SlotOfId(id);
  if (slot < 0) return;  // the user has gone meanwhile
  TMySocket& record = sessions_.Slot(slot);
  record.Resolving = false;
  if (record.Client->State() != wsConnected) return;
  if (answer.Error != 0) {
    // The rule compares the server's name when it has no address.
    if (!DestinationAllowed(slot, host)) {
      record.Relaying = false;  // free again, for another CONN
      return;
    }
    Tell(slot, "   Error, can't resolve server hostname: " + host + "\r\n");
    sessions_.Kick(slot + 1, false);
    return;
  }
  // With a source address chosen (IP), only the server's addresses of its
  // family can be reached, when it has any. The rule decides on the first of
  // them, the one connected to; the others are tried in the resolver's order
  // after a failed connect, those the rule allows.
  std::vector<std::string> addresses = answer.Addresses;
  if (!record.LocalIp.empty()) {
    const bool v6 = record.LocalIp.find(':') != std::string::npos;
    std::vector<std::string> same;
    for (const std::string& a : addresses) {
      if ((a.find(':') != std::string::npos) == v6) same.push_back(a);
    }
    if (!same.empty()) addresses = std::move(same);
  }
  const std::string first = addresses.front();
  if (!DestinationAllowed(slot, first)) {
    record.Relaying = false;
    return;
  }
  std::vector<std::string> rest;
  for (std::size_t i = 1; i < addresses.size(); ++i) {
    if (DestinationPermits(addresses[i])) rest.push_back(addresses[i]);
  }
  fallbacks_.erase(record.Id);
  if (!rest.empty()) fallbacks_[record.Id] = {target, port_number, std::move(rest)};
  if (!StartConnect(slot, target, port_number, first)) return;
  Tell(slot, "   Connecting to server...\r\n");
  sessions_.ShowStatus(slot, "Connecting to server...");
  sessions_.ShowServer(slot, target.Text());
}

bool TServerLinks::StartConnect(int slot, const TConnTarget& target, uint16_t port_number,
                                const std::string& address) {
  TMySocket& record = sessions_.Slot(slot);
  try {
    if (target.Tls) {
      record.Link->ConnectTls(record.LocalIp, address, port_number, {target.Host, target.Fingerprint, {}});
    } else {
      record.Link->Connect(record.LocalIp, address, port_number);
    }
  } catch (const ESocketException& e) {
    fallbacks_.erase(record.Id);
    // Only the bind names what failed; anything else ends the user silently.
    if (e.Step() == TSocketStep::kBind) Tell(slot, "   Error, IP not available: " + record.LocalIp + "\r\n");
    sessions_.Kick(slot + 1, false);
    return false;
  } catch (const std::exception&) {
    fallbacks_.erase(record.Id);
    Tell(slot, "   Error during connection\r\n");
    sessions_.Kick(slot + 1, false);
    return false;
  }
  record.LinkOpen = true;
  record.LinkStartedAt = TEventLoop::Clock::now();
  record.PingSent = false;
  if (!watch_timer_.Enabled()) {
    watch_timer_.SetInterval(static_cast<int>(WatchInterval.count()));
    watch_timer_.SetEnabled(true);
  }
  return true;
}

bool TServerLinks::TryNextAddress(int slot) {
  const uint64_t id = sessions_.Slot(slot).Id;
  const auto it = fallbacks_.find(id);
  if (it == fallbacks_.end()) return false;
  // The link's close events are still running: the next connect is a task of its own.
  loop_.Post(alive_.Guard([this, id] {
    const auto fallback = fallbacks_.find(id);
    const int at = sessions_.SlotOfId(id);
    if (fallback == fallbacks_.end() || at < 0) return;
    TMySocket& record = sessions_.Slot(at);
    if (record.Client == nullptr || record.Client->State() != wsConnected || record.Link == nullptr) {
      fallbacks_.erase(fallback);
      return;
    }
    const TConnTarget target = fallback->second.Target;
    const uint16_t port = fallback->second.Port;
    const std::string address = fallback->second.Addresses.front();
    fallback->second.Addresses.erase(fallback->second.Addresses.begin());
    if (fallback->second.Addresses.empty()) fallbacks_.erase(fallback);
    StartConnect(at, target, port, address);
  }));
  return true;
}

bool TServerLinks::DestinationPermits(const std::string& address) const {
  const TListMode mode = settings_.DestinationMode;
  return mode == TListMode::all ||
         checks_.InServerList(settings_.DestinationList.Entries(), checks_.ConvertLocalIp(address)) ==
             (mode == TListMode::only);
}

bool TServerLinks::DestinationAllowed(int slot, const std::string& address) {
  if (DestinationPermits(address)) return true;
  Tell(slot, "   Destination server not allowed.\r\n");
  Tell(slot, settings_.DestinationMode == TListMode::only ? "   Allowed servers list:\r\n"
                                                          : "   Ban servers list:\r\n");
  for (const std::string& entry : settings_.DestinationList) Tell(slot, "   - " + entry + "\r\n");
  return false;
}

void TServerLinks::ChangeStateCommune(TConnection* Sender, TSocketState OldState, TSocketState) {
  // Only an attempt that succeeded counts: a refused one also passes through
  // the connected state, with its error.
  if (OldState != wsConnecting || Sender->State() != wsConnected || Sender->LastError() != 0) return;
  const int slot = Sender->Tag;
  fallbacks_.erase(sessions_.Slot(slot).Id);
  sessions_.ShowStatus(slot, "Connected to IRC.");
  TMySocket& record = sessions_.Slot(slot);
  record.LinkHeardAt = TEventLoop::Clock::now();
  log_.LogEvent(slot + 1, "Connected to " + record.Server);
  if (record.Caps && record.Caps->WantsNegotiation()) return OpenNegotiation(slot, *Sender);
  if (!record.Pending.empty()) Sender->SendText(record.Pending);
  std::string().swap(record.Pending);  // its memory too: it is not needed again
}

void TServerLinks::ConnectCommune(TConnection* Sender, uint16_t Error) {
  if (Error != 0) {
    // The close that follows tells the user; a failed TLS handshake says why first.
    // A server that fails its handshake is not tried at its other addresses.
    if (const std::string why = Sender->TlsError(); !why.empty()) {
      fallbacks_.erase(sessions_.Slot(Sender->Tag).Id);
      Tell(Sender->Tag, "   TLS: " + why + "\r\n");
    }
    return;
  }
  try {
    Tell(Sender->Tag, "   Connected to the IRC server.\r\n");
  } catch (const std::exception&) {
    // The user is already on its way out.
  }
}

void TServerLinks::DeConnectCommune(TConnection* Sender, uint16_t) {
  TConnection* client = sessions_.ClientOfSlot(Sender->Tag);
  if (client == nullptr || client->State() != wsConnected) {
    if (Sender->Tag < 0 || Sender->Tag >= sessions_.Count()) return;
    TMySocket& record = sessions_.Slot(Sender->Tag);
    fallbacks_.erase(record.Id);
    // A session without a client ends with its link.
    if (record.Linger && record.Linger->Detached) sessions_.Kick(Sender->Tag + 1, false);
    return;
  }
  // A connect that failed moves on to the server's next address, if it has one.
  if (TryNextAddress(Sender->Tag)) return;
  Tell(Sender->Tag, "   Disconnected from the IRC server.\r\n");
  sessions_.Kick(Sender->Tag + 1, false);
}

void TServerLinks::ReadCommune(TConnection* Sender, uint16_t) {
  const int slot = Sender->Tag;
  TMySocket& record = sessions_.Slot(slot);
  record.LinkHeardAt = TEventLoop::Clock::now();
  record.PingSent = false;
  now_.clear();
  std::string_view line;
  while (Sender->State() == wsConnected && Sender->ReceiveLine(line)) {
    if (line.size() > kMaxLineLength) break;
    // The answer to the bouncer's own PING is the bouncer's.
    if (line.ends_with(kAliveToken) && (line.starts_with("PONG ") || line.find(" PONG ") != std::string_view::npos)) {
      continue;
    }
    // The server's PINGs are the bouncer's to answer, whether or not the user
    // is there to see them, message tags (IRCv3) or not.
    // While the bouncer registers the link, the PINGs are its own whatever the
    // setting: the user's answers would wait for the end of it.
    // So are those of a session no client is attached to.
    const std::string_view untagged = WithoutTags(line);
    const bool detached = record.Linger && record.Linger->Detached;
    if ((settings_.AutoPong || record.Registration || detached) && untagged.size() >= 4 &&
        EqualIgnoringCase(untagged.substr(0, 4), "ping")) {
      const std::size_t colon = untagged.find(':');
      Sender->SendLine("PONG :" +
                       std::string(colon == std::string_view::npos ? untagged : untagged.substr(colon + 1)));
    } else if (record.Registration && Negotiate(slot, *Sender, line)) {
      continue;
    } else if (FirstWordIs(CommandOf(untagged), "cap") && !TrackCaps(slot, line)) {
      continue;
    } else if (untagged.find('\x01') != std::string_view::npos &&
               LowerAscii(untagged).find("privmsg") != std::string::npos) {
      // Nobody answers a request while no client is attached; an action is a
      // message, and is held.
      if (!detached) {
        GuardCtcp(slot, line);
      } else if (untagged.find("\x01" "ACTION") != std::string_view::npos) {
        Relay(slot, line);
      }
    } else {
      Relay(slot, line);
    }
  }
  if (Sender->State() == wsConnected &&
      (line.size() > kMaxLineLength || Sender->UnreadText().size() > kMaxLineLength)) {
    Sender->Close();  // a server that sends no line ends is treated as lost
  }
}

void TServerLinks::Watch(TTimer*) {
  const auto now = TEventLoop::Clock::now();
  bool any = false;
  for (int slot = 0; slot < sessions_.Count(); ++slot) {
    TMySocket& record = sessions_.Slot(slot);
    TConnection* link = record.Link.get();
    if (link == nullptr || !record.LinkOpen) continue;
    if (link->State() == wsConnecting) {
      any = true;
      if (now - record.LinkStartedAt < Limits.Connect) continue;
      if (!fallbacks_.contains(record.Id)) Tell(slot, "   The IRC server did not answer in time.\r\n");
      link->Close();
    } else if (link->State() == wsConnected) {
      any = true;
      if (record.Registration && now - record.Registration->Started >= Limits.Connect) {
        TLinkNegotiation::TStep step = record.Registration->GiveUp();
        Apply(slot, *link, step);
      }
      if (!record.PingSent && now - record.LinkHeardAt >= Limits.Silence) {
        link->SendLine("PING :" + std::string(kAliveToken));
        record.PingSent = true;
        record.LinkHeardAt = now;
      } else if (record.PingSent && now - record.LinkHeardAt >= Limits.Answer) {
        Tell(slot, "   The IRC server stopped answering.\r\n");
        link->Close();
      }
    }
  }
  // What is left to try for users who have gone meanwhile.
  std::erase_if(fallbacks_, [this](const auto& fallback) { return sessions_.SlotOfId(fallback.first) < 0; });
  if (!any) watch_timer_.SetEnabled(false);
}

void TServerLinks::Relay(int slot, std::string_view line) {
  if (sessions_.Slot(slot).Linger) return RelayLingering(slot, line);
  TConnection* client = sessions_.ClientOfSlot(slot);
  if (client == nullptr || client->State() != wsConnected || !sessions_.Slot(slot).LinkOpen) return;
  SendShaped(*client, sessions_.Slot(slot).Tags, line);
}

void TServerLinks::SendShaped(TConnection& client, const TTagPolicy& tags, std::string_view line) {
  // Written behind: the lines of one read leave together after it.
  if (tags.AsIs(line)) return client.SendLine(line);
  if (tags.Time && now_.empty()) now_ = ServerTimeNow();
  ShapeTags(line, tags, now_, shaped_);
  client.SendLine(shaped_);
}

}  // namespace kelvox
