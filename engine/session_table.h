// The users in slot order: admission, departure and compaction, the grid rows
// drawn from the records, the kick, and the flow between a user's two
// connections. The table owns every user's record, and with it the user's
// connection, server link and CTCP timer; nothing else keeps them.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/counters.h"
#include "engine/session.h"
#include "engine/transport.h"
#include "net/alive.h"
#include "net/event_loop.h"

namespace kelvox {

class TAddressChecks;
class TConsole;
class TEventLog;
class TSettings;

class TSessionTable {
 public:
  /// How long a user may take, each time told and dropped past it.
  struct TLimits {
    /// To give the users' password, when one is asked for.
    std::chrono::milliseconds Password = std::chrono::seconds(60);
    /// To start a link with CONN.
    std::chrono::milliseconds Link = std::chrono::minutes(10);
    /// To let a byte leave while its connections are held back. A slow reader
    /// makes progress and is never dropped; one that stopped reading is.
    std::chrono::milliseconds Stall = std::chrono::minutes(5);
    /// One of the Linger minutes a session waits for a client.
    std::chrono::milliseconds LingerMinute = std::chrono::minutes(1);
  };

  /// The connections die with the table; a closing one fires nothing then.
  TSessionTable(TEventLoop& loop, const TSettings& settings, TConsole& console, TAddressChecks& checks,
                TEventLog& log);
  TSessionTable(const TSessionTable&) = delete;
  TSessionTable& operator=(const TSessionTable&) = delete;

  /// Bound to every user's connection at admission: the user's bytes.
  TConnectionEvent OnClientData;
  TLimits Limits;
  /// What the bouncer has done, counted by the table and the server links.
  TCounters Counters;
  /// How often the limits are looked at, while anybody is connected.
  std::chrono::milliseconds WatchInterval = std::chrono::seconds(1);

  // --- admission and departure ------------------------------------------------
  /// Admission of a connection the listener has just taken: its slot and grid
  /// row, the user limit, the ban list and the access rule, then the password
  /// prompt or the greeting.
  void ServerClientConnect(std::unique_ptr<TConnection> client);
  /// Departure, once the user's connection has ended: the log, the console, the
  /// slot's link and timer, and compaction, so that every later user moves down
  /// one slot, one tag and one grid row.
  void ServerClientDisconnect(int slot);

  // --- the records ------------------------------------------------------------
  /// Users listed, the closing ones included until their departure.
  int Count() const { return static_cast<int>(slots_.size()); }
  TMySocket& Slot(int slot) { return slots_[static_cast<std::size_t>(slot)]; }
  const TMySocket& Slot(int slot) const { return slots_[static_cast<std::size_t>(slot)]; }
  /// The user's connection in a slot, or nullptr outside the table.
  TConnection* ClientOfSlot(int slot) const;
  /// Where a record stands now; -1 once the user has gone.
  int SlotOfId(uint64_t id) const;

  /// A bouncer notice to the user in a slot, addressed to its nick, and to each
  /// client attached besides; nothing for a connection that is closing.
  void Tell(int slot, std::string_view text);

  // --- lingering sessions -------------------------------------------------------
  /// The slot of the lingering session under the key for that server, -1 for
  /// none. Every session's key is compared, in constant time, whichever matches.
  int FindLinger(std::string_view key, const std::string& target) const;
  /// Whether the slot's client is that connection, or one attached besides.
  bool IsAttached(int slot, const TConnection* client) const;
  /// A client moved to the session in the slot: its end is the session's to
  /// handle from now on.
  void BindClient(int slot, TConnection& client);
  /// The record leaves the table without a departure: its client has moved to a
  /// session. The later users move down one slot, as at a departure.
  void Remove(int slot);

  // --- what the grid shows ----------------------------------------------------
  /// The user has named itself: its nick (the notices' target) and identity.
  void ShowNick(int slot, std::string nick, std::string identity);
  void ShowStatus(int slot, std::string status);
  void ShowServer(int slot, std::string server);

  // --- ending users -------------------------------------------------------------
  /// Closes the connection of the user with the tag, first telling it "You were
  /// kicked by the administrator." when asked. Nothing for a tag without a
  /// connected user.
  void Kick(int tag, bool with_notice);
  /// Tells every user "Disconnection - Bouncer is down." and closes every
  /// connection and link. The table stays whole: the departures follow.
  void CloseAll();

  // --- back-pressure ------------------------------------------------------------
  /// One of the slot's connections is too far behind: neither is read.
  void HoldSlot(int slot);
  /// Reading resumes once neither of the slot's connections is behind.
  void ReleaseSlot(int slot);

 private:
  void Admit(TMySocket& record);
  /// Connected users from an address that have not identified, the new one included.
  int WaitingFrom(const std::string& address) const;
  void PostDeparture(uint64_t id);
  /// A departure in a lingering session: the clients gone are let go, and the
  /// session stays while its link is up (another client takes the record's
  /// place, or the session waits for one). False when the record is to go.
  bool KeepSession(int slot);
  /// A session without a client: its minutes left in the grid, and its end once
  /// none are left.
  void WatchDetached(int slot, TEventLoop::Clock::time_point now);
  /// Tells the session's clients that are too far behind why, and closes them;
  /// false when none is (the server is the one behind).
  bool DropClientsBehind(int slot, std::string_view why);
  /// Ends a lingering session: QUIT to the server, every client closed (told
  /// first when asked), and the departure.
  void EndSession(int slot, bool with_notice);
  /// Closes the gap a leaving user leaves in the table and the grid.
  void CompactAfterLeaving(int slot);
  void DrawRow(int slot);
  void ShowUserCount(int count);
  /// Drops the users past one of their limits.
  void Watch(TTimer* Sender);
  /// A held user whose hold has not moved for Limits.Stall.
  bool Stalled(TMySocket& record, TEventLoop::Clock::time_point now);

  TEventLoop& loop_;
  const TSettings& settings_;
  TConsole& console_;
  TAddressChecks& checks_;
  TEventLog& log_;
  std::vector<TMySocket> slots_;
  uint64_t next_id_ = 1;
  TTimer watch_timer_;  // runs while anybody is connected
  TAlive alive_;  // for departures that come after the end
};

}  // namespace kelvox
