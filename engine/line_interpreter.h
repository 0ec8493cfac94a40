// The user's lines: framing, and what each line does in the user's state
// (awaiting the password, free to give commands, linked to an IRC server), with
// the bouncer's own commands in one table.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "base/date_time.h"
#include "engine/transport.h"

namespace kelvox {

class TAddressChecks;
class TServerLinks;
class TSessionTable;
class TSettings;

class TLineInterpreter {
 public:
  /// TIMEUP reads the two start times where their owner keeps them.
  TLineInterpreter(TSessionTable& sessions, TServerLinks& links, const TSettings& settings,
                   const TAddressChecks& checks, const TDateTime& running_since, const TDateTime& listening_since);

  /// DIE from an administrator: the bouncer stops and the program ends.
  std::function<void()> OnDie;

  /// Bytes from a user: cut into lines, each handled in the user's state.
  void ServerDataAvailable(TConnection* Sender, uint16_t Error);

 private:
  /// One line from the slot's client, or from a client attached to its session besides.
  void HandleClientLine(int slot, std::string_view line, TConnection* from);
  void LineTooLong(int slot);
  /// Holds a line for the IRC server, a USER line with the bouncer's real name.
  void HoldLine(int slot, std::string_view line);
  /// Appends to Pending; a user who passes kMaxPending is told and closed.
  void Hold(int slot, std::string_view line);
  void CheckPassword(int slot, const std::string& line);
  void TrackNick(int slot, std::string_view line);
  /// The client's capability negotiation before the link, with the bouncer.
  void Capabilities(int slot, std::string_view line);
  /// The client's SASL PLAIN before the link: its credentials kept for the network.
  void Authenticate(int slot, std::string_view line);
  /// A message the client sent, back to it when the bouncer gives echo-message.
  void Echo(int slot, std::string_view line);
  /// The welcome a registered client waits for before its on-connect commands.
  void Welcome(int slot);

  /// The bouncer's commands; false when the line is none of them.
  bool RunCommand(int slot, const std::string& line);
  // Each command takes the user's slot and its whole line.
  struct TCommand;
  static const TCommand kCommands[];
  /// Whether the user may give the command now: an administrator's, or one
  /// whose setting is on.
  bool Enabled(int slot, const TCommand& command) const;
  void Conn(int slot, const std::string& line);
  void Admin(int slot, const std::string& line);
  void Help(int slot, const std::string& line);
  void Die(int slot, const std::string& line);
  void Kill(int slot, const std::string& line);
  void TimeUp(int slot, const std::string& line);
  void IpList(int slot, const std::string& line);
  void Ip(int slot, const std::string& line);
  void Time(int slot, const std::string& line);
  void WhoisOn(int slot, const std::string& line);
  /// A notice to the user in a slot.
  void Tell(int slot, std::string_view text);

  TSessionTable& sessions_;
  TServerLinks& links_;
  const TSettings& settings_;
  const TAddressChecks& checks_;
  const TDateTime& running_since_;
  const TDateTime& listening_since_;
};

}  // namespace kelvox
