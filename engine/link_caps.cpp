// The link's capabilities: the bouncer's negotiation with the IRC server for a
// client that took capabilities before CONN, and the client's own CAP lines
// once linked.
#include "engine/irc_line.h"
#include "engine/server_link.h"
#include "engine/session_table.h"

namespace kelvox {

namespace {

// The registration lines among the held ones go with CAP LS; the server holds
// them until CAP END. The others (a JOIN the client sent after the bouncer's
// welcome) would be refused before the server's welcome, and wait for it.
void SplitRegistration(const std::string& pending, std::string& registration, std::string& rest) {
  ForEachHeldLine(pending, [&](std::string_view line) { (IsRegistrationLine(line) ? registration : rest).append(line); });
}

}  // namespace

void TServerLinks::OpenNegotiation(int slot, TConnection& link) {
  TMySocket& record = sessions_.Slot(slot);
  TUserCaps& caps = *record.Caps;
  caps.Negotiated = true;
  record.Registration = std::make_unique<TLinkNegotiation>(caps.Client.Enabled(), std::move(caps.Credentials),
                                                           caps.LinkTls, caps.PlainInsecure);
  caps.Credentials.reset();
  record.Tags = caps.Tags();
  std::string registration(TLinkNegotiation::kOpening);
  std::string rest;
  SplitRegistration(record.Pending, registration, rest);
  link.SendText(registration);
  record.Pending = std::move(rest);
}

bool TServerLinks::Negotiate(int slot, TConnection& link, std::string_view line) {
  TLinkNegotiation::TStep step = sessions_.Slot(slot).Registration->Take(line);
  Apply(slot, link, step);
  return step.Consumed;
}

void TServerLinks::Apply(int slot, TConnection& link, TLinkNegotiation::TStep& step) {
  for (const std::string& notice : step.Notices) Tell(slot, notice);
  if (!step.ToServer.empty()) link.SendText(step.ToServer);
  Wipe(step.ToServer);  // it may carry the password
  TMySocket& record = sessions_.Slot(slot);
  if (step.Ended) Settle(slot);
  if (!step.Done) return;
  record.Registration.reset();
  if (!record.Pending.empty()) link.SendText(record.Pending);
  std::string().swap(record.Pending);
}

void TServerLinks::Settle(int slot) {
  TMySocket& record = sessions_.Slot(slot);
  TUserCaps& caps = *record.Caps;
  caps.Provided.insert(record.Registration->Provided().begin(), record.Registration->Provided().end());
  const std::vector<std::string>& withdrawn = record.Registration->Withdrawn();
  if (!withdrawn.empty()) {
    TCapLine del;
    del.Subcommand = TCapSubcommand::Del;
    std::string names;
    for (const std::string& name : withdrawn) {
      del.Caps.push_back({name});
      names += (names.empty() ? "" : " ") + name;
    }
    // Only a client that takes cap-notify may be told of a withdrawal.
    TConnection* client = sessions_.ClientOfSlot(slot);
    if (caps.Client.Enabled().contains("cap-notify") && client != nullptr && client->State() == wsConnected) {
      client->SendLine(":Kelvox CAP " + (record.Nick.empty() ? "*" : record.Nick) + " DEL :" + names);
    }
    caps.Client.Adjust(del);
  }
  record.Tags = caps.Tags();
}

bool TServerLinks::TrackCaps(int slot, std::string_view line) {
  const std::optional<TCapLine> cap = ParseCapLine(line, true);
  TMySocket& record = sessions_.Slot(slot);
  if (!record.Caps) {
    // A client that asks the server itself, once linked.
    if (cap->Subcommand != TCapSubcommand::Ack) return true;
    record.Caps = std::make_unique<TUserCaps>();
  }
  TUserCaps& caps = *record.Caps;
  caps.Client.Adjust(*cap);
  record.Tags = caps.Tags();
  const bool notify = cap->Subcommand == TCapSubcommand::New || cap->Subcommand == TCapSubcommand::Del;
  return !notify || !caps.Negotiated || caps.Client.Enabled().contains("cap-notify");
}

}  // namespace kelvox
